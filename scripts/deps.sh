#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the tests and the demo need and the
# machine lacks. Nothing is fetched from anywhere else.
set -euo pipefail

pkgs=(cmake make g++ pkg-config libgtest-dev libssl-dev iproute2 iputils-ping
      dnsmasq-base socat python3 procps libsystemd-dev dbus-daemon openresolv
      scdoc groff-base man-db dpkg-dev lintian tshark systemd logrotate
      clang-14 libclang-rt-14-dev libsodium-dev python3-dissononce
      debootstrap systemd-container nftables iperf3)
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

# The published Noise test vectors, for the sealed session's handshake test: only the vectors
# file, unpacked from Debian's golang-github-flynn-noise-dev, so that no Go toolchain is
# installed. The test reads it from SDWAN_NOISE_VECTORS (set by the build to this path).
vectors_dir=/var/cache/sdwan-noise-vectors
if [ ! -s "$vectors_dir/vectors.txt" ]; then
    echo "fetching the Noise test vectors from Debian's golang-github-flynn-noise-dev (the file alone)"
    tmp="$(mktemp -d)"
    chmod 0755 "$tmp"
    if ! (cd "$tmp" && apt-get download -qq golang-github-flynn-noise-dev 2>/dev/null); then
        apt-get update -qq
        (cd "$tmp" && apt-get download -qq golang-github-flynn-noise-dev)
    fi
    dpkg-deb -x "$tmp"/golang-github-flynn-noise-dev_*.deb "$tmp/root"
    install -d -m 0755 "$vectors_dir"
    install -m 0644 "$tmp/root/usr/share/gocode/src/github.com/flynn/noise/vectors.txt" "$vectors_dir/vectors.txt"
    rm -rf "$tmp"
fi
