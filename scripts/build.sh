#!/usr/bin/env bash
# Configures and builds one tree: scripts/build.sh DIR [extra cmake arguments].
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
dir="$1"; shift
cmake -S "$top" -B "$dir" -DSDWAN_WERROR=ON "$@"
cmake --build "$dir" -j"$(nproc)"
