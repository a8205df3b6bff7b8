#!/usr/bin/env bash
# Side-by-side timings of quarvelin and the peer tools (gdaldem, gdal_translate)
# on synthetic models, with peak memory and scaling.
#
# Environment (all optional):
#   BENCH_DIR    scratch root, QUARVELIN_ROOT of the runs (/tmp/quarvelin-bench)
#   BENCH_SIZE   side of the large model (8000); the small one is half of it
#   BENCH_RUNS   runs of each command, alternated (5)
#   BENCH_MICRO  1: also run the micro-benchmarks for the writers' MB/s (1)
#   BENCH_MICRO_SIZE  side of the micro-benchmarks' model (2000)
#   BENCH_PEER_ONLY  1: build only the generator and time only the peer tools
#                (to check this script while the program does not build)
#
# Every figure printed is a median of BENCH_RUNS runs made in this one
# invocation, the commands taking turns round after round.
set -euo pipefail

die() { echo "compare.sh: error: $*" >&2; exit 1; }
note() { echo "compare.sh: $*" >&2; }

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ROOT=${BENCH_DIR:-/tmp/quarvelin-bench}
L=${BENCH_SIZE:-8000}
RUNS=${BENCH_RUNS:-5}
MICRO=${BENCH_MICRO:-1}
PEER_ONLY=${BENCH_PEER_ONLY:-0}
BUILD=$REPO/build-bench

[[ $L =~ ^[0-9]+$ ]] && ((L >= 8 && L % 2 == 0)) || die "BENCH_SIZE must be an even number >= 8 (got '$L')"
[[ $RUNS =~ ^[0-9]+$ ]] && ((RUNS >= 1)) || die "BENCH_RUNS must be a positive number (got '$RUNS')"
S=$((L / 2))
FOLDER=$ROOT/bench
OUT=$ROOT/out
LOGS=$ROOT/logs
mkdir -p "$FOLDER" "$OUT" "$LOGS" "$ROOT/answers" || die "cannot create $ROOT"

# ------------------------------------------------------------------ tools
apt_updated=0
apt_install() { # package...
    ((EUID == 0)) || die "missing $*; run as root or install: apt-get install $*"
    if ((apt_updated == 0)); then
        note "apt-get update"
        apt-get update -qq >"$LOGS/apt.log" 2>&1 || die "apt-get update failed (see $LOGS/apt.log)"
        apt_updated=1
    fi
    note "apt-get install -y $*"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >>"$LOGS/apt.log" 2>&1 ||
        die "apt-get install $* failed (see $LOGS/apt.log)"
}
command -v gdaldem >/dev/null && command -v gdal_translate >/dev/null || apt_install gdal-bin
[[ -x /usr/bin/time ]] || apt_install time
command -v gdaldem >/dev/null || die "gdaldem still missing after installing gdal-bin"

# ------------------------------------------------------------------ build
if ((PEER_ONLY)); then
    GEN=$ROOT/gen_dem
    c++ -std=c++20 -O2 -Wall -Wextra -Wpedantic -ffp-contract=off \
        "$REPO/bench/gen_dem.cpp" -o "$GEN" || die "cannot compile bench/gen_dem.cpp"
else
    note "building in $BUILD"
    {
        cmake -S "$REPO" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DQUARVELIN_BENCH=ON -DBUILD_TESTING=OFF &&
            cmake --build "$BUILD" -j2
    } >"$LOGS/build.log" 2>&1 || { tail -n 30 "$LOGS/build.log" >&2; die "build failed (whole log: $LOGS/build.log)"; }
    GEN=$BUILD/bench/gen_dem
    PROG=$BUILD/quarvelin
    [[ -x $PROG ]] || die "no program at $PROG after the build"
fi

# ------------------------------------------------------------------ models
envi_header() { # raw-file lines columns
    cat >"${1%.raw}.hdr" <<EOF
ENVI
description = {quarvelin benchmark model, decimetres}
samples = $3
lines = $2
bands = 1
header offset = 0
file type = ENVI Standard
data type = 12
interleave = bsq
byte order = 0
map info = {Arbitrary, 1, 1, 500000, $((4000000 + 25 * $2)), 25, 25}
EOF
}
note "generating models ${L}x${L} (raw) and ${S}x${S} (raw and ASCII) in $FOLDER"
"$GEN" "$L" "$L" "$FOLDER" "dem$L" raw >&2 || die "gen_dem failed"
"$GEN" "$S" "$S" "$FOLDER" "dem$S" both >&2 || die "gen_dem failed"
envi_header "$FOLDER/dem${L}_m2.raw" "$L" "$L"
envi_header "$FOLDER/dem${S}_m2.raw" "$S" "$S"

answers() { # template dem result -> path of the filled answers file
    local f=$ROOT/answers/$(basename "$1" .txt)_$3.txt
    sed -e "s/@DEM@/$2/" -e "s/@RES@/$3/" "$REPO/bench/answers/$1" >"$f"
    echo "$f"
}

# ------------------------------------------------------------------ runs
declare -A T M # seconds and peak KiB of each run: T[label]="v1 v2 ..."
declare -a ORDER=()

# timed LABEL CHECKFILE STDIN CMD...: one run, appended to T and M. The output
# CHECKFILE is removed before and must exist, non-empty, after.
timed() {
    local label=$1 check=$2 input=$3
    shift 3
    local log=$LOGS/$label.log mem=$LOGS/$label.mem t0 t1
    rm -f "$check"
    t0=$(date +%s%N)
    if ! /usr/bin/time -f %M -o "$mem" "$@" <"$input" >"$log" 2>&1; then
        tail -n 20 "$log" >&2
        die "run '$label' failed: $* (log: $log)"
    fi
    t1=$(date +%s%N)
    [[ -s $check ]] || { tail -n 20 "$log" >&2; die "run '$label' left no $check"; }
    T[$label]+="$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }') "
    M[$label]+="$(tail -n 1 "$mem") "
}

prog() { # label template dem result output-suffix
    local label=$1 ans
    ans=$(answers "$2" "$3" "$4")
    rm -f "$FOLDER/$4"_*
    timed "$label" "$FOLDER/$4_log.$5" "$ans" env QUARVELIN_ROOT="$ROOT" "$PROG"
}

run_one() {
    case $1 in
    q_raw_L) prog q_raw_L raw16_bmp.txt "dem$L" "res$L" bmp ;;
    q_raw_S) prog q_raw_S raw16_bmp.txt "dem$S" "res$S" bmp ;;
    q_asc_S) prog q_asc_S ascii_bmp.txt "dem$S" "res${S}a" bmp ;;
    q_txt_S) prog q_txt_S ascii_asc.txt "dem$S" "res${S}t" asc ;;
    g_slope_L)
        timed g_slope_L "$OUT/slope$L.tif" /dev/null \
            gdaldem slope -q -s 10 -of GTiff "$FOLDER/dem${L}_m2.raw" "$OUT/slope$L.tif" ;;
    g_translate_S)
        rm -f "$OUT/translate$S".*
        timed g_translate_S "$OUT/translate$S.envi" /dev/null \
            gdal_translate -q -of ENVI "$FOLDER/dem$S.asc" "$OUT/translate$S.envi" ;;
    esac
}

if ((PEER_ONLY)); then
    ORDER=(g_slope_L g_translate_S)
else
    ORDER=(q_raw_L g_slope_L q_asc_S g_translate_S q_txt_S q_raw_S)
fi
for ((r = 1; r <= RUNS; r++)); do
    note "round $r of $RUNS"
    if ((r % 2)); then seq=("${ORDER[@]}"); else
        seq=()
        for ((k = ${#ORDER[@]} - 1; k >= 0; k--)); do seq+=("${ORDER[k]}"); done
    fi
    for label in "${seq[@]}"; do run_one "$label"; done
done

median() { tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{ v[NR] = $1 } END {
    if (NR % 2) printf "%.3f", v[(NR + 1) / 2]; else printf "%.3f", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "n/a" }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.0f", k / 1024 }'; }

# ------------------------------------------------------------------ micro
MICRO_JSON=$OUT/micro.json
MS=${BENCH_MICRO_SIZE:-2000}
rm -f "$MICRO_JSON" # never report the figures of an earlier invocation
micro_mbs() { # benchmark name prefix -> MB/s (10^6 bytes) or n/a
    [[ -s $MICRO_JSON ]] || { echo n/a; return; }
    awk -v want="\"$1" '
        /"name":/ { name = $2 }
        /"bytes_per_second":/ && index(name, want) == 1 && name ~ /_median",$/ {
            gsub(/,/, "", $2); printf "%.1f", $2 / 1e6; found = 1; exit }
        END { if (!found) printf "n/a" }' "$MICRO_JSON"
}
if ((MICRO && !PEER_ONLY)); then
    note "micro-benchmarks (${MS} x ${MS} model)"
    "$BUILD/bench/quarvelin_micro" --benchmark_out="$MICRO_JSON" --benchmark_out_format=json \
        --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
        </dev/null >"$LOGS/micro.log" 2>&1 || { tail -n 20 "$LOGS/micro.log" >&2; die "micro-benchmarks failed"; }
fi

# ------------------------------------------------------------------ report
cpu=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
echo "## quarvelin vs peer tools"
echo
echo "Machine: $(nproc) cores, ${cpu:-unknown CPU}, $(awk '/^MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo); $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "Peer: $(gdalinfo --version 2>/dev/null || echo 'gdal version unknown')"
echo "Runs: $RUNS of each command, alternated; medians of wall time (s), peak resident memory (MiB)."
echo
median_of() { median "${T[$1]}"; }
mem_of() { mib "$(median "${M[$1]}")"; }
if ((PEER_ONLY)); then
    echo "| command | median s | peak MiB |"
    echo "| --- | ---: | ---: |"
    echo "| gdaldem slope, raw 16-bit ${L}x${L} | $(median_of g_slope_L) | $(mem_of g_slope_L) |"
    echo "| gdal_translate -of ENVI, ASCII ${S}x${S} | $(median_of g_translate_S) | $(mem_of g_translate_S) |"
    exit 0
fi
qL=$(median_of q_raw_L) gL=$(median_of g_slope_L)
qA=$(median_of q_asc_S) gA=$(median_of g_translate_S)
qT=$(median_of q_txt_S) qS=$(median_of q_raw_S)
txt_bytes=$(stat -c %s "$FOLDER/res${S}t_log.asc")
echo "| comparison | quarvelin s | peer s | quarvelin / peer |"
echo "| --- | ---: | ---: | ---: |"
echo "| raw 16-bit ${L}x${L} to BMP, whole run vs gdaldem slope -s 10 (GTiff) | $qL | $gL | $(ratio "$qL" "$gL") |"
echo "| ASCII ${S}x${S} to BMP, whole run vs gdal_translate -of ENVI | $qA | $gA | $(ratio "$qA" "$gA") |"
echo
echo "| ASCII image output, ASCII ${S}x${S} input | value |"
echo "| --- | ---: |"
echo "| whole run, s | $qT |"
echo "| size of res${S}t_log.asc, MB | $(awk -v b="$txt_bytes" 'BEGIN { printf "%.1f", b / 1e6 }') |"
echo "| output MB / whole-run s | $(awk -v b="$txt_bytes" -v t="$qT" 'BEGIN { printf "%.1f", b / 1e6 / t }') |"
echo "| ASCII image writer alone (micro, ${MS}x${MS}), MB/s | $(micro_mbs BM_write_ascii_image) |"
echo "| ASCII log DEM writer alone (micro, ${MS}x${MS}), MB/s | $(micro_mbs BM_write_ascii_logdem) |"
echo
echo "| peak memory | cells | MiB | budget 34 B/cell + 32 MiB | used / budget |"
echo "| --- | ---: | ---: | ---: | ---: |"
for row in "q_raw_L:$L:raw 16-bit ${L}x${L} to BMP" "q_raw_S:$S:raw 16-bit ${S}x${S} to BMP" \
    "q_asc_S:$S:ASCII ${S}x${S} to BMP" "q_txt_S:$S:ASCII ${S}x${S} to ASCII" \
    "g_slope_L:$L:gdaldem slope ${L}x${L}" "g_translate_S:$S:gdal_translate ${S}x${S}"; do
    IFS=: read -r label n text <<<"$row"
    cells=$((n * n))
    used=$(mem_of "$label")
    budget=$(awk -v c="$cells" 'BEGIN { printf "%.0f", (34 * c + 32 * 1048576) / 1048576 }')
    echo "| $text | $cells | $used | $budget | $(ratio "$used" "$budget") |"
done
echo
echo "| scaling | value | target |"
echo "| --- | ---: | ---: |"
echo "| raw to BMP: ${L}x${L} s / ${S}x${S} s (4x the cells) | $(ratio "$qL" "$qS") ($qL / $qS) | <= 4.4 |"
echo
echo "Every run of each command, round 1 first (s):"
echo
for label in "${ORDER[@]}"; do echo "- $label: ${T[$label]% }"; done
if [[ -s $MICRO_JSON ]]; then
    echo
    echo "Micro-benchmarks, ${MS}x${MS} model (median of 3 repetitions):"
    echo
    echo "| stage | ms | MB/s |"
    echo "| --- | ---: | ---: |"
    awk '
        /"name":/ { gsub(/[",]/, "", $2); name = $2 }
        /"real_time":/ { gsub(/,/, "", $2); rt = $2 }
        /"time_unit":/ { gsub(/[",]/, "", $2); unit = $2 }
        /"bytes_per_second":/ { gsub(/,/, "", $2); bps = $2 }
        /^    }/ { if (name ~ /_median$/) { sub(/_median$/, "", name)
                 f = (unit == "ms") ? 1 : (unit == "us") ? 1e-3 : (unit == "ns") ? 1e-6 : 1e3
                 sub(/\/real_time$/, "", name)
                 printf "| %s | %.1f | %s |\n", name, rt * f, bps == "" ? "" : sprintf("%.1f", bps / 1e6) }
                 name = ""; bps = "" }' "$MICRO_JSON"
fi
echo
echo "Reproduce: BENCH_SIZE=$L BENCH_RUNS=$RUNS bash bench/compare.sh (or make bench)"
