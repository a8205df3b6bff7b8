#!/usr/bin/env bash
# `make bench`: the side-by-side comparison; the table is also kept in
# $BENCH_DIR/results.md (default /tmp/quarvelin-bench/results.md).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=${BENCH_DIR:-/tmp/quarvelin-bench}
mkdir -p "$root"
bash "$here/compare.sh" | tee "$root/results.md"
