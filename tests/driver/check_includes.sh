#!/usr/bin/env bash
# The driver must build for the kernel image: it may include only the shared
# header, the platform header and freestanding C headers.
set -eu
cd "$1"
bad=$(grep -rnE '^\s*#\s*include' driver --include='*.cpp' --include='*.h' \
      | grep -vE '#\s*include\s*"(driver/adapter\.h|platform/ndis\.h)"|#\s*include\s*<(stddef|stdint)\.h>' || true)
if [ -n "$bad" ]; then echo "driver includes what the kernel image cannot have:"; echo "$bad"; exit 1; fi
echo "driver includes: ok"
