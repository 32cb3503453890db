#!/usr/bin/env bash
# Unpacks the i386 libraries the 32-bit test build links against into a
# private folder (usually inside the build folder), without touching the
# system: apt reads i386 package lists into that folder, downloads the .debs
# and dpkg-deb extracts them. Installing them by multiarch instead would add
# the i386 architecture to dpkg and force upgrades of amd64 packages that
# share a version with them. Usage: i386-sysroot.sh FOLDER. Idempotent.
set -euo pipefail
root=$(realpath -m "$1")
[ -f "$root/.complete" ] && exit 0
# Static gtest/gmock, and libpcap with what it loads at run time. The C and
# C++ runtimes come from g++-multilib.
packages=(googletest libgtest-dev libgmock-dev libpcap0.8 libpcap0.8-dev libdbus-1-3 libsystemd0
          libcap2 libgcrypt20 libgpg-error0 liblz4-1 liblzma5 libzstd1)
state="$root/apt"
mkdir -p "$state/lists/partial" "$state/cache/archives/partial" "$state/debs"
apt_options=(-q -o "Dir::State::Lists=$state/lists" -o "Dir::Cache=$state/cache"
             -o "Dir::State::status=/dev/null" -o APT::Architecture=i386 -o "APT::Architectures::=i386"
             -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
apt-get "${apt_options[@]}" update >/dev/null
(cd "$state/debs" && apt-get "${apt_options[@]}" download "${packages[@]/%/:i386}" >/dev/null)
for deb in "$state/debs"/*.deb; do dpkg-deb -x "$deb" "$root"; done
touch "$root/.complete"
