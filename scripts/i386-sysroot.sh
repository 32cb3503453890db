#!/usr/bin/env bash
# Unpacks the i386 libraries the 32-bit test build links against into a
# private folder (usually inside the build folder), without touching the
# system: apt reads i386 package lists into that folder, downloads the .debs
# and dpkg-deb extracts them. Installing them by multiarch instead would add
# the i386 architecture to dpkg and force upgrades of amd64 packages that
# share a version with them. Usage: i386-sysroot.sh FOLDER. Idempotent: a
# folder unpacked for another package list is unpacked again.
set -euo pipefail
root=$(realpath -m "$1")
# Static gtest/gmock; libpcap, libslirp and lwIP with what they load at run
# time (libslirp: GLib, which needs only PCRE2 of its package's list). The C
# and C++ runtimes come from g++-multilib.
packages=(googletest libgtest-dev libgmock-dev libpcap0.8 libpcap0.8-dev libdbus-1-3 libsystemd0
          libcap2 libgcrypt20 libgpg-error0 liblz4-1 liblzma5 libzstd1
          libslirp0 libslirp-dev libglib2.0-0 libpcre2-8-0 liblwip0 liblwip-dev)
# The marker names what was unpacked, so that a folder unpacked for an older
# list (a build folder made before a package was added) is not taken as done.
contents="packages: ${packages[*]}"
[ "$(cat "$root/.complete" 2>/dev/null)" = "$contents" ] && exit 0
echo "i386-sysroot.sh: unpacking the i386 libraries into $root"
rm -f "$root/.complete"
state="$root/apt"
mkdir -p "$state/lists/partial" "$state/cache/archives/partial" "$state/debs"
apt_options=(-q -o "Dir::State::Lists=$state/lists" -o "Dir::Cache=$state/cache"
             -o "Dir::State::status=/dev/null" -o APT::Architecture=i386 -o "APT::Architectures::=i386"
             -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
# A mirror caught mid-sync fails part of the update now and then (often only
# the security suite's index): what counts is that every package downloads,
# from whichever lists did come in; if not, try again a little later.
for attempt in 1 2 3 4; do
  apt-get "${apt_options[@]}" update >/dev/null 2>&1 || echo "i386-sysroot.sh: apt-get update incomplete (attempt $attempt)"
  rm -f "$state/debs"/*.deb  # an older list's packages would be unpacked again
  (cd "$state/debs" && apt-get "${apt_options[@]}" download "${packages[@]/%/:i386}" >/dev/null) && break
  [ "$attempt" = 4 ] && exit 1
  sleep $((attempt * 15))
done
for deb in "$state/debs"/*.deb; do dpkg-deb -x "$deb" "$root"; done
echo "$contents" >"$root/.complete"
