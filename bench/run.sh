#!/usr/bin/env bash
# `make bench`: the side-by-side comparison; the table is also kept in
# $BENCH_DIR/results.md (default /tmp/quarvelin-bench/results.md). Every
# BENCH_* variable of compare.sh passes through (and QUARVELIN_THREADS), e.g.
#   BENCH_PLAIN=1 BENCH_HUGE=1 make bench       every target, 30000 x 30000 too
#   BENCH_SIZE=1000 BENCH_RUNS=3 make bench     a quick check of the script
# The exit status is compare.sh's: 2 for missing packages, 3 when outputs that
# must be equal differ.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=${BENCH_DIR:-/tmp/quarvelin-bench}
mkdir -p "$root"
bash "$here/compare.sh" | tee "$root/results.md"
