#!/usr/bin/env bash
# Runs pytest on the given files with the interpreter $1, against the library
# $STELLIX_LIBRARY.
set -euo pipefail
python=$1
shift
exec "$(dirname "$0")/../with_sanitizer_runtime.sh" "$STELLIX_LIBRARY" \
  "$python" -m pytest -q -p no:cacheprovider "$@"
