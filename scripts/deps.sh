#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the tests and the demo need and the
# machine lacks. Nothing is fetched from anywhere else.
set -euo pipefail

pkgs=(cmake make g++ pkg-config libgtest-dev libssl-dev iproute2 iputils-ping
      dnsmasq-base socat python3 procps libsystemd-dev
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
