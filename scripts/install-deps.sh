#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with. Idempotent.
set -euo pipefail
packages=(build-essential g++-multilib qemu-user g++-mingw-w64-i686 gcc-mingw-w64-i686 binutils-mingw-w64-i686 python3-pefile cmake libgtest-dev libgmock-dev libbenchmark-dev libpcap-dev libslirp-dev liblwip-dev tshark clang-format clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi
