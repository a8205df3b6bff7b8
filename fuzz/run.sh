#!/usr/bin/env bash
# Builds the libFuzzer targets into build-fuzz/ with CMake and runs each for
# SECONDS (first argument, default 60) on a working copy of its corpus.
#
#   bash fuzz/run.sh [SECONDS] [TARGET...]     targets: ascii descriptor bmp answers
#
# Environment: FUZZ_JOBS targets at a time (default 1), FUZZ_MERGE=1 to
# minimise each corpus afterwards into build-fuzz/merged/<target>.
# Crashes land in build-fuzz/artifacts/<target>/; each one that is fixed goes
# into fuzz/regressions/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH=${1:-60}
shift || true
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=(ascii descriptor bmp answers)
JOBS=${FUZZ_JOBS:-1}
OUT=build-fuzz
CXX=${FUZZ_CXX:-clang++}
mkdir -p "$OUT"

declare -A MAX_LEN=([ascii]=65536 [descriptor]=4096 [bmp]=4096 [answers]=4096)

# clang++ with the libFuzzer runtime: a one-line fuzzer must link. This
# script installs nothing; it names the packages when they are missing.
can_fuzz() {
    command -v "$CXX" >/dev/null 2>&1 || return 1
    printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
        'extern "C" int LLVMFuzzerTestOneInput(const uint8_t *, size_t) { return 0; }' > "$OUT/probe.cpp"
    "$CXX" -fsanitize=fuzzer,address,undefined "$OUT/probe.cpp" -o "$OUT/probe" >/dev/null 2>&1
}
fuzz_ok=0
can_fuzz && fuzz_ok=1
if [ $fuzz_ok = 0 ] && [ -z "${FUZZ_CXX:-}" ]; then
    CXX=clang++-14 # Debian's clang-14 alone gives no plain clang++
    can_fuzz && fuzz_ok=1
fi
if [ $fuzz_ok = 0 ]; then
    echo "fuzz: clang++ with libFuzzer is needed: apt-get install clang-14 libclang-rt-14-dev" >&2
    echo "      (or name another clang++ in FUZZ_CXX)" >&2
    exit 1
fi

# The targets through CMake with the project's own options (QUARVELIN_FUZZ
# in CMakeLists.txt), at -O1 with debug information; no tests. A build
# folder configured with another compiler is configured afresh (the corpora,
# logs and artifacts beside it stay).
CXX_PATH=$(command -v "$CXX")
cached=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$OUT/CMakeCache.txt" 2>/dev/null || true)
if [ -n "$cached" ] && [ "$cached" != "$CXX_PATH" ]; then
    rm -rf "$OUT/CMakeCache.txt" "$OUT/CMakeFiles"
fi
cmake -S . -B "$OUT" -DQUARVELIN_FUZZ=ON -DBUILD_TESTING=OFF -DCMAKE_CXX_COMPILER="$CXX_PATH" \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" > "$OUT/configure.log" 2>&1 ||
    { cat "$OUT/configure.log" >&2; echo "fuzz: cmake could not configure $OUT" >&2; exit 1; }
cmake --build "$OUT" -j "$(nproc 2>/dev/null || echo 2)" --target "${TARGETS[@]/#/fuzz_}"

run_one() {
    local t=$1
    local work="$OUT/corpus/$t" art="$OUT/artifacts/$t/"
    mkdir -p "$work" "$art"
    cp -n fuzz/corpus/"$t"/* "$work"/ 2>/dev/null || true
    local seeds=() rc=0
    [ -d "fuzz/regressions/$t" ] && seeds+=("fuzz/regressions/$t")
    "./$OUT/fuzz_$t" -max_total_time="$SECONDS_EACH" -rss_limit_mb=2048 -max_len="${MAX_LEN[$t]}" \
        -timeout=25 -print_final_stats=1 -artifact_prefix="$art" "$work" "${seeds[@]}" \
        > "$OUT/fuzz_$t.log" 2>&1 || rc=$?
    tail -n 30 "$OUT/fuzz_$t.log" | grep -E '^#[0-9]+|stat::|ERROR|SUMMARY' | tail -n 12
    if [ "${FUZZ_MERGE:-0}" = 1 ]; then
        rm -rf "$OUT/merged/$t"
        mkdir -p "$OUT/merged/$t"
        "./$OUT/fuzz_$t" -merge=1 -rss_limit_mb=2048 -max_len="${MAX_LEN[$t]}" \
            "$OUT/merged/$t" fuzz/corpus/"$t" "$work" > "$OUT/merge_$t.log" 2>&1
    fi
    echo "fuzz $t: exit status $rc, log $OUT/fuzz_$t.log"
    return $rc
}

status=0
pids=()
for t in "${TARGETS[@]}"; do
    run_one "$t" &
    pids+=($!)
    if [ ${#pids[@]} -ge "$JOBS" ]; then
        wait "${pids[0]}" || status=1
        pids=("${pids[@]:1}")
    fi
done
for p in "${pids[@]}"; do
    wait "$p" || status=1
done
exit $status
