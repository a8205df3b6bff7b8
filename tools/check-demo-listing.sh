#!/usr/bin/env bash
# Runs `make demo` and checks that README.md lists exactly the files it
# wrote: the lines of README.md that start with images/sample/demo_ (their
# first word) against the listing the demo prints at its end.
#
# Usage: tools/check-demo-listing.sh [BUILD]   (BUILD: the build folder, build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

out=$(make --no-print-directory demo BUILD="$build" < /dev/null)
printed=$(grep -E '^images/sample/demo_' <<< "$out" | LC_ALL=C sort)
listed=$( (grep -E '^images/sample/demo_' README.md || true) | awk '{print $1}' | LC_ALL=C sort)
[ -n "$printed" ] || { echo "check-demo-listing: make demo listed no file" >&2; exit 1; }
if [ "$printed" != "$listed" ]; then
    echo "check-demo-listing: README.md does not list the files make demo wrote:" >&2
    diff <(echo "$listed") <(echo "$printed") | sed 's/^</  README.md:/; s/^>/  make demo:/' >&2 || true
    exit 1
fi
echo "check-demo-listing: README.md lists the $(wc -l <<< "$printed") files make demo wrote"
