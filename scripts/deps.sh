#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the tests and the demo need and the
# machine lacks. Nothing is fetched from anywhere else.
set -euo pipefail

pkgs=(cmake make g++ pkg-config libgtest-dev libssl-dev iproute2 iputils-ping
      dnsmasq-base socat python3 procps libsystemd-dev dbus-daemon openresolv
      scdoc groff-base man-db dpkg-dev lintian tshark systemd logrotate
      clang-14 libclang-rt-14-dev)
missing=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# promtool, for the test that checks the status file against the metric conventions: only the
# tool, unpacked from Debian's prometheus package, so that no server is installed or started.
if ! command -v promtool >/dev/null; then
    echo "installing promtool from Debian's prometheus package (the tool alone)"
    tmp="$(mktemp -d)"
    chmod 0755 "$tmp"
    if ! (cd "$tmp" && apt-get download -qq prometheus 2>/dev/null); then
        apt-get update -qq
        (cd "$tmp" && apt-get download -qq prometheus)
    fi
    dpkg-deb -x "$tmp"/prometheus_*.deb "$tmp/root"
    install -m 0755 "$tmp/root/usr/bin/promtool" /usr/local/bin/promtool
    rm -rf "$tmp"
fi
