#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with. Idempotent.
set -euo pipefail
packages=(build-essential g++-multilib qemu-user g++-mingw-w64-i686 gcc-mingw-w64-i686 binutils-mingw-w64-i686 python3-pefile cmake libgtest-dev libgmock-dev libbenchmark-dev libpcap-dev libslirp-dev liblwip-dev tshark clang-format)
missing=()
for p in "${packages[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  # A mirror caught mid-sync fails now and then: try again a little later.
  for attempt in 1 2 3 4; do
    apt-get update -qq && apt-get install -y -qq "${missing[@]}" && break
    [ "$attempt" = 4 ] && exit 1
    sleep $((attempt * 15))
  done
fi
