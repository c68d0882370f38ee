#!/usr/bin/env bash
# Runs pytest on the given files with the interpreter $1. A library built with
# AddressSanitizer needs its runtime preloaded into an interpreter built
# without it (and leak checking off: the interpreter keeps its objects).
set -euo pipefail
python=$1
shift
asan=$(ldd "$STELLIX_LIBRARY" 2>/dev/null | sed -n 's/^[[:space:]]*libasan[^ ]* => \([^ ]*\).*/\1/p')
if [ -n "$asan" ]; then
  export LD_PRELOAD=$asan ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0
fi
exec "$python" -m pytest -q -p no:cacheprovider "$@"
