#!/usr/bin/env bash
# Usage: tests/with_sanitizer_runtime.sh LIBRARY COMMAND [ARG...]
# Runs COMMAND, a host built without sanitizers (an interpreter, a C host),
# against LIBRARY. A library built with AddressSanitizer needs its runtime
# loaded before anything else, and leak checking off: the host keeps
# objects alive to its exit that are not leaks.
set -euo pipefail
library=$1
shift
asan=$(ldd "$library" 2>/dev/null | sed -n 's/^[[:space:]]*libasan[^ ]* => \([^ ]*\).*/\1/p')
if [ -n "$asan" ]; then
  export LD_PRELOAD=$asan ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0
fi
exec "$@"
