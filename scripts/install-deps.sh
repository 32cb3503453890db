#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with. Idempotent.
set -euo pipefail
packages=(build-essential g++-multilib qemu-user g++-mingw-w64-i686 gcc-mingw-w64-i686 binutils-mingw-w64-i686 python3-pefile cmake libgtest-dev libgmock-dev libbenchmark-dev libpcap-dev libslirp-dev liblwip-dev tshark clang-format clang libclang-rt-14-dev nlohmann-json3-dev valgrind chromium iproute2 iputils-ping curl)
missing=()
for p in "${packages[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  # A mirror caught mid-sync fails part of the update now and then (often only
  # the security suite's index): what counts is that the packages install.
  for attempt in 1 2 3 4; do
    apt-get update -qq || echo "install-deps.sh: apt-get update incomplete (attempt $attempt)"
    apt-get install -y -qq "${missing[@]}" && break
    [ "$attempt" = 4 ] && exit 1
    sleep $((attempt * 15))
  done
fi
