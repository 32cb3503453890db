#!/usr/bin/env bash
# The driver is meant for a 32-bit x86 kernel image: compile every driver source
# for i386 with the kernel's restrictions, and check the NDIS 3.0 characteristics
# record is the 60 bytes the wrapper expects there.
set -eu
cd "$1"
flags=(-m32 -std=c++20 -Wall -Wextra -Wpedantic -Werror -Wshadow -fno-exceptions -fno-rtti -ffreestanding -I.)
for f in $(find driver -name '*.cpp' | sort); do
  g++ "${flags[@]}" -fsyntax-only "$f"
done
printf '#include "platform/ndis.h"\nstatic_assert(sizeof(NDIS30_MINIPORT_CHARACTERISTICS) == 60);\nstatic_assert(sizeof(ULONG) == 4 && sizeof(PVOID) == 4);\n' \
  | g++ "${flags[@]}" -fsyntax-only -x c++ -
echo "driver builds for i386: ok"
