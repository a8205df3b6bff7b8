#!/usr/bin/env bash
# Side-by-side timings of quarvelin and the peer tools (gdaldem, gdal_translate)
# on synthetic models, with peak memory, the threads and their scaling, an
# inclined plane beside the hills, and a table of the targets.
#
# Environment (all optional):
#   BENCH_DIR    scratch root, QUARVELIN_ROOT of the runs (/tmp/quarvelin-bench)
#   BENCH_SIZE   side of the large model (8000); the small one is half of it
#   BENCH_RUNS   runs of each command, alternated (5)
#   BENCH_LOGDEM 1: also every bitmap run with a raw log DEM asked for (1)
#   BENCH_PLANE  1: also an inclined plane of the large size, to a bitmap (with
#                a raw log DEM when BENCH_LOGDEM is 1), beside the hills (1)
#   BENCH_SCALING 1: also the large raw run with QUARVELIN_THREADS=1 (1)
#   BENCH_MEMORY 1: one more run of each ASCII command, not timed, its memory
#                sampled to tell the mapped model file from the rest (1)
#   BENCH_LINES  1: also the large raw run with QUARVELIN_LINE_BY_LINE=1 (0);
#                a model whose grids need more than 64 MiB (every model from
#                about 1400 x 1400 up) goes line by line anyway
#   BENCH_HELD   1: also the large raw run with QUARVELIN_LINE_BY_LINE=0, which
#                holds every grid (33 bytes a cell: 2 GiB at 8000 x 8000) (0)
#   BENCH_FLOOR  1: also floor_run, the grids and files of that run without
#                its arithmetic, beside it (sets BENCH_HELD) (0)
#   BENCH_PLAIN  1: also the large raw run with QUARVELIN_PLAIN=1 (0)
#   BENCH_HUGE   1: also a raw model of BENCH_HUGE_SIZE squared to BMP, and
#                gdaldem slope on it (0); the model is generated once and kept
#   BENCH_HUGE_SIZE   side of that model (30000, 1.8 GB)
#   BENCH_HUGE_RUNS   rounds that include the huge runs (BENCH_RUNS)
#   BENCH_HUGE_LINES  1: the huge run with QUARVELIN_LINE_BY_LINE=1 (0)
#   BENCH_MICRO  1: also run the micro-benchmarks for the writers' MB/s (1)
#   BENCH_MICRO_SIZE  side of the micro-benchmarks' model (2000)
#   BENCH_PEER_ONLY  1: build only the generator and time only the peer tools
#                (to check this script while the program does not build)
# QUARVELIN_THREADS, when set, is the thread count of every run of the
# program but the one-thread run of the scaling.
#
# Every figure printed is from runs made in this one invocation: medians of
# BENCH_RUNS runs, the commands taking turns round after round (order reversed
# on even rounds). Outputs that must be equal are compared after every round;
# a difference is reported and makes the script exit with status 3.
set -euo pipefail

die() { echo "compare.sh: error: $*" >&2; exit 1; }
note() { echo "compare.sh: $*" >&2; }

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ROOT=${BENCH_DIR:-/tmp/quarvelin-bench}
L=${BENCH_SIZE:-8000}
RUNS=${BENCH_RUNS:-5}
LOGDEM=${BENCH_LOGDEM:-1}
PLANE=${BENCH_PLANE:-1}
SCALING=${BENCH_SCALING:-1}
MEMORY=${BENCH_MEMORY:-1}
LINES=${BENCH_LINES:-0}
HELD=${BENCH_HELD:-0}
FLOOR=${BENCH_FLOOR:-0}
PLAIN=${BENCH_PLAIN:-0}
HUGE=${BENCH_HUGE:-0}
H=${BENCH_HUGE_SIZE:-30000}
HUGE_RUNS=${BENCH_HUGE_RUNS:-$RUNS}
HUGE_LINES=${BENCH_HUGE_LINES:-0}
MICRO=${BENCH_MICRO:-1}
PEER_ONLY=${BENCH_PEER_ONLY:-0}
BUILD=$REPO/build-bench

if ! [[ $L =~ ^[0-9]+$ ]] || ((L < 8 || L % 2 != 0)); then die "BENCH_SIZE must be an even number >= 8 (got '$L')"; fi
if ! [[ $RUNS =~ ^[0-9]+$ ]] || ((RUNS < 1)); then die "BENCH_RUNS must be a positive number (got '$RUNS')"; fi
if ! [[ $H =~ ^[0-9]+$ ]] || ((H < 8 || H > 100000)); then die "BENCH_HUGE_SIZE must be a number 8..100000 (got '$H')"; fi
if ! [[ $HUGE_RUNS =~ ^[0-9]+$ ]] || ((HUGE_RUNS < 1)); then die "BENCH_HUGE_RUNS must be a positive number"; fi
for flag in LOGDEM PLANE SCALING MEMORY LINES HELD FLOOR PLAIN HUGE HUGE_LINES MICRO PEER_ONLY; do
    [[ ${!flag} == [01] ]] || die "BENCH_$flag must be 0 or 1 (got '${!flag}')"
done
((FLOOR)) && HELD=1
((HUGE_RUNS <= RUNS)) || HUGE_RUNS=$RUNS
S=$((L / 2))
FOLDER=$ROOT/bench
OUT=$ROOT/out
LOGS=$ROOT/logs
LOAD_START=$(cut -d' ' -f1-3 /proc/loadavg)
MIB_LIMIT=64 # the memory targets, MiB

# ------------------------------------------------------------------ tools
# Nothing is installed here: the missing packages are named and the run stops.
missing=()
for tool in gdaldem gdal_translate gdalinfo; do
    command -v "$tool" >/dev/null || { missing+=(gdal-bin); break; }
done
[[ -x /usr/bin/time ]] || missing+=(time)
command -v cmp >/dev/null || missing+=(diffutils)
if ((${#missing[@]})); then
    echo "compare.sh: missing packages: ${missing[*]}" >&2
    echo "compare.sh: install them first, e.g. apt-get install ${missing[*]}" >&2
    exit 2
fi
mkdir -p "$FOLDER" "$OUT" "$LOGS" "$ROOT/answers" || die "cannot create $ROOT"

# ------------------------------------------------------------------ build
if ((PEER_ONLY)); then
    GEN=$ROOT/gen_dem
    c++ -std=c++20 -O2 -Wall -Wextra -Wpedantic -ffp-contract=off \
        "$REPO/bench/gen_dem.cpp" -o "$GEN" || die "cannot compile bench/gen_dem.cpp"
    THREADS=$(nproc)
else
    note "building in $BUILD"
    {
        cmake -S "$REPO" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DQUARVELIN_BENCH=ON -DBUILD_TESTING=OFF &&
            cmake --build "$BUILD" -j2
    } >"$LOGS/build.log" 2>&1 || { tail -n 30 "$LOGS/build.log" >&2; die "build failed (whole log: $LOGS/build.log)"; }
    GEN=$BUILD/bench/gen_dem
    PROG=$BUILD/quarvelin
    FLOOR_PROG=$BUILD/bench/floor_run
    MICRO_PROG=$BUILD/bench/quarvelin_micro
    [[ -x $PROG ]] || die "no program at $PROG after the build"
    [[ -x $FLOOR_PROG ]] || die "no floor_run at $FLOOR_PROG after the build"
    [[ -x $MICRO_PROG ]] || die "no quarvelin_micro at $MICRO_PROG after the build"
    # The threads of the runs, counted as the program counts them.
    THREADS=$("$MICRO_PROG" --threads) || die "quarvelin_micro --threads failed"
fi
if [[ -n ${QUARVELIN_THREADS:-} ]]; then
    THREADS_WHY="QUARVELIN_THREADS=$QUARVELIN_THREADS"
else
    THREADS_WHY="the processors the process may use"
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
if ((PLANE && !PEER_ONLY)); then
    note "generating the inclined plane ${L}x${L} (raw) in $FOLDER"
    "$GEN" "$L" "$L" "$FOLDER" "plane$L" raw plane >&2 || die "gen_dem failed"
fi
if ((HUGE)); then
    # 2 bytes a cell: kept between invocations, since writing it takes a while.
    huge_raw=$FOLDER/dem${H}_m2.raw
    if [[ $(head -n 2 "${huge_raw%.raw}.txt" 2>/dev/null | tr '\n' ' ') == "$H $H " &&
        $(stat -c %s "$huge_raw" 2>/dev/null || echo 0) -eq $((2 * H * H)) ]]; then
        note "reusing the ${H}x${H} model $huge_raw"
    else
        note "generating the ${H}x${H} model (once; $((2 * H * H / 1000000)) MB) in $FOLDER"
        "$GEN" "$H" "$H" "$FOLDER" "dem$H" raw >&2 || die "gen_dem failed"
    fi
    envi_header "$huge_raw" "$H" "$H"
fi

answers() { # template dem result -> path of the filled answers file
    local f
    f=$ROOT/answers/$(basename "$1" .txt)_$3.txt
    sed -e "s/@DEM@/$2/" -e "s/@RES@/$3/" "$REPO/bench/answers/$1" >"$f"
    echo "$f"
}

# ------------------------------------------------------------------ runs
declare -A T M U Y # wall s, peak KiB, user s, system s of each run: T[label]="v1 v2 ..."
declare -A FAILED  # runs allowed to fail (the huge run): why the first one failed
declare -A SAMPLED # label -> "peak model-file model-pages anonymous beyond samples" of the sampled run (KiB)
declare -a ORDER=()
SAMPLING=0 # 1 while the memory of the ASCII runs is sampled instead of timed

# timed LABEL MAYFAIL CHECKFILE STDIN CMD...: one run, appended to T, M, U, Y.
# The output CHECKFILE is removed before and must exist, non-empty, after. A
# failed run ends the script, unless MAYFAIL is 1: then it is recorded in
# FAILED and that command is not run again.
timed() {
    local label=$1 mayfail=$2 check=$3 input=$4
    shift 4
    local log=$LOGS/$label.log mem=$LOGS/$label.mem t0 t1 rc=0
    rm -f "$check"
    t0=$(date +%s%N)
    /usr/bin/time -f '%M %U %S' -o "$mem" "$@" <"$input" >"$log" 2>&1 || rc=$?
    t1=$(date +%s%N)
    if ((rc == 0)) && [[ ! -s $check ]]; then rc=no-output; fi
    if [[ $rc != 0 ]]; then
        local why
        why="exit $rc: $(grep -v '^[[:space:]]*$' "$log" | tail -n 1 | tr -s ' \t' ' ')"
        if ((mayfail)); then
            FAILED[$label]=$why
            note "run '$label' failed ($why); not run again"
            return 0
        fi
        tail -n 20 "$log" >&2
        die "run '$label' failed ($why): $* (log: $log)"
    fi
    [[ -z ${T[$label]:-} ]] || T[$label]+=" "
    T[$label]+="$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')"
    local kib user sys
    read -r kib user sys < <(tail -n 1 "$mem")
    M[$label]+="$kib " U[$label]+="$user " Y[$label]+="$sys "
}

# mem_sample PID FILE: "resident-KiB FILE's-resident-KiB anonymous-KiB peak-KiB"
# of the process, FILE's pages being those of its mappings of FILE; nothing
# once the process has ended (a zombie has no resident size). The resident
# size is the sum over the mappings of the same read of smaps as FILE's
# pages: taken from status, it could be read before the model is unmapped
# and FILE's pages after, and the whole model would count as beyond it.
mem_sample() {
    awk -v file="$2" '
        FILENAME ~ /status$/ && /^VmRSS:/ { alive = 1 }
        FILENAME ~ /status$/ && /^RssAnon:/ { anon = $2 }
        FILENAME ~ /status$/ && /^VmHWM:/ { hwm = $2 }
        FILENAME ~ /smaps$/ && /^[0-9a-f]+-[0-9a-f]+ / {
            k = index($0, file); mapped = k > 0 && substr($0, k) == file }
        FILENAME ~ /smaps$/ && /^Rss:/ { rss += $2; if (mapped) f += $2 }
        END { if (alive) print rss + 0, f + 0, anon + 0, hwm + 0 }' "/proc/$1/status" "/proc/$1/smaps" 2>/dev/null
}

# sampled LABEL CHECKFILE STDIN MODEL CMD...: one more run, not timed, its
# memory sampled as often as a sample can be taken (a few milliseconds) into
# SAMPLED: the peak resident size (the kernel's own high-water mark), the
# most of MODEL's mapped pages resident at once, the most anonymous memory,
# and the most resident memory beyond MODEL's pages. A peak between two
# samples is missed, so the last figure is at least the sampled one and at
# least the peak less the whole model file; it is judged against the target.
sampled() {
    local label=$1 check=$2 input=$3 model=$4
    shift 4
    local log=$LOGS/$label.sampled.log pid s rss file anon hwm n=0 rc=0 model_kib
    local top_file=0 top_anon=0 top_beyond=0 top_hwm=0
    model_kib=$(($(stat -c %s "$model") / 1024))
    rm -f "$check"
    "$@" <"$input" >"$log" 2>&1 &
    pid=$!
    while s=$(mem_sample "$pid" "$model") && [[ -n $s ]]; do
        read -r rss file anon hwm <<<"$s"
        ((file > top_file)) && top_file=$file
        ((anon > top_anon)) && top_anon=$anon
        ((rss - file > top_beyond)) && top_beyond=$((rss - file))
        ((hwm > top_hwm)) && top_hwm=$hwm
        n=$((n + 1))
    done
    wait "$pid" || rc=$?
    if ((rc != 0)) || [[ ! -s $check ]]; then die "sampled run '$label' failed (exit $rc; log: $log)"; fi
    ((top_hwm - model_kib > top_beyond)) && top_beyond=$((top_hwm - model_kib))
    SAMPLED[$label]="$top_hwm $model_kib $top_file $top_anon $top_beyond $n"
}

prog() { # label template dem result output-suffix [VAR=value...]
    local label=$1 template=$2 dem=$3 res=$4 suffix=$5 ans mayfail=0
    shift 5
    [[ $label == q_huge ]] && mayfail=1
    ans=$(answers "$template" "$dem" "$res")
    rm -f "$FOLDER/$res"_*
    # The switches of a run come from here only (QUARVELIN_THREADS excepted).
    local cmd=(env -u QUARVELIN_LINE_BY_LINE -u QUARVELIN_PLAIN QUARVELIN_ROOT="$ROOT" "$@" "$PROG")
    if ((SAMPLING)); then
        sampled "$label" "$FOLDER/${res}_log.$suffix" "$ans" "$(realpath "$FOLDER/$dem.asc")" "${cmd[@]}"
    else
        timed "$label" "$mayfail" "$FOLDER/${res}_log.$suffix" "$ans" "${cmd[@]}"
    fi
}

floor_run() { # label result [logdem]
    local label=$1 res=$2
    shift 2
    rm -f "$OUT/$res"_*
    timed "$label" 0 "$OUT/${res}_log.bmp" /dev/null "$FLOOR_PROG" "$FOLDER/dem$L" "$OUT/$res" "$@"
}

huge_env=()
((HUGE_LINES)) && huge_env=(QUARVELIN_LINE_BY_LINE=1)
plane_template=raw16_bmp.txt plane_res=resplane$L
((LOGDEM)) && plane_template=raw16_bmp_logdem.txt plane_res=resplane${L}d

run_one() {
    case $1 in
    q_raw_L) prog q_raw_L raw16_bmp.txt "dem$L" "res$L" bmp ;;
    q_one_L) prog q_one_L raw16_bmp.txt "dem$L" "res${L}1" bmp QUARVELIN_THREADS=1 ;;
    q_rawd_L) prog q_rawd_L raw16_bmp_logdem.txt "dem$L" "res${L}d" bmp ;;
    q_plane_L) prog q_plane_L "$plane_template" "plane$L" "$plane_res" bmp ;;
    q_lines_L) prog q_lines_L raw16_bmp.txt "dem$L" "res${L}l" bmp QUARVELIN_LINE_BY_LINE=1 ;;
    q_held_L) prog q_held_L raw16_bmp.txt "dem$L" "res${L}h" bmp QUARVELIN_LINE_BY_LINE=0 ;;
    q_plain_L) prog q_plain_L raw16_bmp.txt "dem$L" "res${L}p" bmp QUARVELIN_PLAIN=1 ;;
    f_L) floor_run f_L "floor$L" ;;
    q_raw_S) prog q_raw_S raw16_bmp.txt "dem$S" "res$S" bmp ;;
    q_rawd_S) prog q_rawd_S raw16_bmp_logdem.txt "dem$S" "res${S}d" bmp ;;
    q_asc_S) prog q_asc_S ascii_bmp.txt "dem$S" "res${S}a" bmp ;;
    q_ascd_S) prog q_ascd_S ascii_bmp_logdem.txt "dem$S" "res${S}ad" bmp ;;
    q_txt_S) prog q_txt_S ascii_asc.txt "dem$S" "res${S}t" asc ;;
    q_huge) prog q_huge raw16_bmp.txt "dem$H" "res$H" bmp "${huge_env[@]}" ;;
    g_slope_L)
        timed g_slope_L 0 "$OUT/slope$L.tif" /dev/null \
            gdaldem slope -q -s 10 -of GTiff "$FOLDER/dem${L}_m2.raw" "$OUT/slope$L.tif" ;;
    g_slope_H)
        timed g_slope_H 0 "$OUT/slope$H.tif" /dev/null \
            gdaldem slope -q -s 10 -of GTiff "$FOLDER/dem${H}_m2.raw" "$OUT/slope$H.tif" ;;
    g_translate_S)
        rm -f "$OUT/translate$S".*
        timed g_translate_S 0 "$OUT/translate$S.envi" /dev/null \
            gdal_translate -q -of ENVI "$FOLDER/dem$S.asc" "$OUT/translate$S.envi" ;;
    esac
}

# What each command is, for the tables.
declare -A WHAT=(
    [q_raw_L]="raw 16-bit ${L}x${L} to BMP"
    [q_one_L]="raw 16-bit ${L}x${L} to BMP, QUARVELIN_THREADS=1"
    [q_rawd_L]="raw 16-bit ${L}x${L} to BMP + raw log DEM"
    [q_plane_L]="inclined plane ${L}x${L} to BMP$( ((LOGDEM)) && echo ' + raw log DEM')"
    [q_lines_L]="raw 16-bit ${L}x${L} to BMP, QUARVELIN_LINE_BY_LINE=1"
    [q_held_L]="raw 16-bit ${L}x${L} to BMP, QUARVELIN_LINE_BY_LINE=0"
    [q_plain_L]="raw 16-bit ${L}x${L} to BMP, QUARVELIN_PLAIN=1"
    [f_L]="floor_run ${L}x${L} to BMP"
    [q_raw_S]="raw 16-bit ${S}x${S} to BMP"
    [q_rawd_S]="raw 16-bit ${S}x${S} to BMP + raw log DEM"
    [q_asc_S]="ASCII ${S}x${S} to BMP"
    [q_ascd_S]="ASCII ${S}x${S} to BMP + raw log DEM"
    [q_txt_S]="ASCII ${S}x${S} to ASCII"
    [q_huge]="raw 16-bit ${H}x${H} to BMP$( ((HUGE_LINES)) && echo ', QUARVELIN_LINE_BY_LINE=1')"
    [g_slope_L]="gdaldem slope ${L}x${L}"
    [g_slope_H]="gdaldem slope ${H}x${H}"
    [g_translate_S]="gdal_translate -of ENVI ${S}x${S}"
)
declare -A SIDE=([q_raw_L]=$L [q_one_L]=$L [q_rawd_L]=$L [q_plane_L]=$L [q_lines_L]=$L [q_held_L]=$L
    [q_plain_L]=$L [f_L]=$L [q_raw_S]=$S [q_rawd_S]=$S [q_asc_S]=$S [q_ascd_S]=$S [q_txt_S]=$S [q_huge]=$H
    [g_slope_L]=$L [g_slope_H]=$H [g_translate_S]=$S)

if ((PEER_ONLY)); then
    ORDER=(g_slope_L g_translate_S)
else
    # Each command stands next to the one it is compared with.
    ORDER=(q_raw_L g_slope_L)
    ((SCALING)) && ORDER+=(q_one_L)
    ((LOGDEM)) && ORDER+=(q_rawd_L)
    ((PLANE)) && ORDER+=(q_plane_L)
    ((LINES)) && ORDER+=(q_lines_L)
    ((HELD)) && ORDER+=(q_held_L)
    ((FLOOR)) && ORDER+=(f_L)
    ((PLAIN)) && ORDER+=(q_plain_L)
    ORDER+=(q_asc_S g_translate_S)
    ((LOGDEM)) && ORDER+=(q_ascd_S)
    ORDER+=(q_txt_S q_raw_S)
    ((LOGDEM)) && ORDER+=(q_rawd_S)
    ((HUGE)) && ORDER+=(q_huge)
fi
((HUGE)) && ORDER+=(g_slope_H)
has() { [[ " ${ORDER[*]} " == *" $1 "* ]]; }

# ------------------------------------------------------------------ checks
# Files that must be equal after every round: asking for a log DEM, one
# thread, the line-by-line run, the run holding its grids and the plain
# per-cell path leave the image and its histogram as the normal run writes
# them; the same terrain read from the ASCII grid or from the raw model gives
# the same image and log DEM. The floor's bitmap must have the size of the
# program's (its tones differ: it computes no slope).
declare -A CHECK  # name -> "ok" or the first difference seen
declare -a CHECKS=()
MISMATCHES=0
verdict() { # name round result(ok|text)
    # (${CHECK[$1]+x}: the names hold blanks and quotes, which -v does not take)
    [[ -n ${CHECK[$1]+x} ]] || CHECKS+=("$1")
    if [[ $3 == ok ]]; then
        [[ -n ${CHECK[$1]+x} ]] || CHECK[$1]=ok
    elif [[ ${CHECK[$1]:-ok} == ok ]]; then
        CHECK[$1]="MISMATCH in round $2: $3"
        MISMATCHES=$((MISMATCHES + 1))
        echo "compare.sh: *** MISMATCH: $1 (round $2): $3" >&2
    fi
}
same_file() { # name round a b
    if [[ ! -e $3 || ! -e $4 ]]; then verdict "$1" "$2" "missing $([[ -e $3 ]] && echo "$4" || echo "$3")"
    elif cmp -s "$3" "$4"; then verdict "$1" "$2" ok
    else verdict "$1" "$2" "$(cmp "$3" "$4" 2>&1 | head -n 1)"; fi
}
same_size() { # name round a b
    local a b
    a=$(stat -c %s "$3" 2>/dev/null || echo missing) b=$(stat -c %s "$4" 2>/dev/null || echo missing)
    if [[ $a == "$b" && $a != missing ]]; then verdict "$1" "$2" ok; else verdict "$1" "$2" "$a bytes vs $b bytes"; fi
}
check_round() { # round
    local r=$1 ref=$FOLDER/res$L f
    for f in q_one_L:res${L}1 q_rawd_L:res${L}d q_lines_L:res${L}l q_held_L:res${L}h q_plain_L:res${L}p; do
        has "${f%%:*}" || continue
        same_file "${WHAT[${f%%:*}]}: bitmap = normal run's" "$r" "${ref}_log.bmp" "$FOLDER/${f#*:}_log.bmp"
        same_file "${WHAT[${f%%:*}]}: histogram file = normal run's" "$r" "${ref}_log.xls" "$FOLDER/${f#*:}_log.xls"
    done
    if has q_rawd_S; then
        same_file "${WHAT[q_rawd_S]}: bitmap = normal run's" "$r" "$FOLDER/res${S}_log.bmp" "$FOLDER/res${S}d_log.bmp"
    fi
    if has q_ascd_S; then
        same_file "${WHAT[q_ascd_S]}: bitmap = normal run's" "$r" "$FOLDER/res${S}a_log.bmp" "$FOLDER/res${S}ad_log.bmp"
    fi
    if has q_asc_S; then
        # The same terrain read from the ASCII grid or from the raw model.
        same_file "${WHAT[q_asc_S]}: bitmap = raw ${S}x${S} run's" "$r" "$FOLDER/res${S}_log.bmp" "$FOLDER/res${S}a_log.bmp"
    fi
    if has q_ascd_S && has q_rawd_S; then
        same_file "${WHAT[q_ascd_S]}: log DEM = raw ${S}x${S} run's" "$r" \
            "$FOLDER/res${S}d_log_dem_m4.raw" "$FOLDER/res${S}ad_log_dem_m4.raw"
        same_file "${WHAT[q_ascd_S]}: log DEM histogram file = raw ${S}x${S} run's" "$r" \
            "$FOLDER/res${S}d_dem_log.xls" "$FOLDER/res${S}ad_dem_log.xls"
    fi
    if has f_L; then
        same_size "${WHAT[f_L]}: bitmap size = program's" "$r" "${ref}_log.bmp" "$OUT/floor${L}_log.bmp"
    fi
    if has q_huge && [[ ! -v FAILED[q_huge] ]]; then
        local want=$((1078 + H * ((H + 3) / 4 * 4)))
        local got
        got=$(stat -c %s "$FOLDER/res${H}_log.bmp" 2>/dev/null || echo missing)
        verdict "${WHAT[q_huge]}: bitmap of $want bytes" "$r" "$([[ $got == "$want" ]] && echo ok || echo "$got bytes")"
    fi
}

for ((r = 1; r <= RUNS; r++)); do
    note "round $r of $RUNS"
    seq=()
    for label in "${ORDER[@]}"; do
        [[ $label == q_huge || $label == g_slope_H ]] && ((r > HUGE_RUNS)) && continue
        [[ -v FAILED[$label] ]] && continue
        seq+=("$label")
    done
    if ((r % 2 == 0)); then
        rev=()
        for ((k = ${#seq[@]} - 1; k >= 0; k--)); do rev+=("${seq[k]}"); done
        seq=("${rev[@]}")
    fi
    for label in "${seq[@]}"; do run_one "$label"; done
    ((PEER_ONLY)) || check_round "$r"
done
if ((HUGE)); then
    # Gigabytes of results the report does not need.
    rm -f "$OUT/slope$H.tif" "$FOLDER/res$H"_*
fi

# The ASCII runs once more, their memory sampled: the model file is mapped
# whole, and its pages count in the resident size while they are read.
SAMPLED_ORDER=()
if ((MEMORY && !PEER_ONLY)); then
    note "the ASCII runs once more, their memory sampled"
    SAMPLING=1
    for label in q_asc_S q_ascd_S q_txt_S; do
        has "$label" || continue
        run_one "$label"
        SAMPLED_ORDER+=("$label")
    done
    SAMPLING=0
fi

median() { tr ' ' '\n' <<<"$1" | { grep . || true; } | sort -g | awk '{ v[NR] = $1 } END {
    if (NR == 0) printf "n/a"; else if (NR % 2) printf "%.3f", v[(NR + 1) / 2]; else printf "%.3f", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a != "n/a" && b != "n/a" && a != "" && b != "" && b > 0) printf "%.2f", a / b; else printf "n/a" }'; }
mib() { awk -v k="$1" 'BEGIN { if (k == "n/a" || k == "") printf "n/a"; else printf "%.0f", k / 1024 }'; }
mib1() { awk -v k="$1" 'BEGIN { if (k == "n/a" || k == "") printf "n/a"; else printf "%.1f", k / 1024 }'; }
met() { awk -v v="$1" -v l="$2" 'BEGIN { if (v == "n/a" || v == "") print "n/a"; else print (v + 0 <= l + 0) ? "met" : "**not met**" }'; }
met_least() { awk -v v="$1" -v l="$2" 'BEGIN { if (v == "n/a" || v == "") print "n/a"; else print (v + 0 >= l + 0) ? "met" : "**not met**" }'; }

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
    "$MICRO_PROG" --benchmark_out="$MICRO_JSON" --benchmark_out_format=json \
        --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
        </dev/null >"$LOGS/micro.log" 2>&1 || { tail -n 20 "$LOGS/micro.log" >&2; die "micro-benchmarks failed"; }
fi

# ------------------------------------------------------------------ report
median_of() { if [[ -v FAILED[$1] ]]; then echo n/a; else median "${T[$1]:-}"; fi; }
mem_of() { if [[ -v FAILED[$1] ]]; then echo n/a; else mib "$(median "${M[$1]:-}")"; fi; }
shown() { if [[ -v FAILED[$1] ]]; then echo "failed"; else median_of "$1"; fi; }
# Processor time over wall time of the median runs: how many processors a
# command kept busy.
busy() {
    if [[ -v FAILED[$1] || -z ${T[$1]:-} ]]; then echo n/a; return; fi
    awk -v u="$(median "${U[$1]}")" -v y="$(median "${Y[$1]}")" -v t="$(median_of "$1")" \
        'BEGIN { if (t > 0) printf "%.2f", (u + y) / t; else printf "n/a" }'
}
cpu=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
echo "## quarvelin vs peer tools"
echo
echo "Machine: $(nproc) cores, ${cpu:-unknown CPU}, $(awk '/^MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo); $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "Load average (1, 5, 15 min): $LOAD_START at the start, $(cut -d' ' -f1-3 /proc/loadavg) at the end"
echo "Peer: $(gdalinfo --version 2>/dev/null || echo 'gdal version unknown')"
echo "Runs: $RUNS of each command, alternated; medians of wall time (s), peak resident memory (MiB)."
((PEER_ONLY)) || echo "Threads of the program's runs: $THREADS ($THREADS_WHY), but where QUARVELIN_THREADS=1 is named."
echo
if ((PEER_ONLY)); then
    echo "| command | median s | peak MiB |"
    echo "| --- | ---: | ---: |"
    for label in "${ORDER[@]}"; do echo "| ${WHAT[$label]} | $(median_of "$label") | $(mem_of "$label") |"; done
    exit 0
fi
qL=$(median_of q_raw_L) gL=$(median_of g_slope_L)
qA=$(median_of q_asc_S) gA=$(median_of g_translate_S)
qT=$(median_of q_txt_S) qS=$(median_of q_raw_S)
qLd=n/a qSd=n/a qAd=n/a q1=n/a qP=n/a qH=n/a gH=n/a
has q_rawd_L && qLd=$(median_of q_rawd_L)
has q_rawd_S && qSd=$(median_of q_rawd_S)
has q_ascd_S && qAd=$(median_of q_ascd_S)
has q_one_L && q1=$(median_of q_one_L)
has q_plane_L && qP=$(median_of q_plane_L)
has q_huge && qH=$(median_of q_huge) gH=$(median_of g_slope_H)
txt_bytes=$(stat -c %s "$FOLDER/res${S}t_log.asc")
echo "| comparison | quarvelin s | peer s | quarvelin / peer |"
echo "| --- | ---: | ---: | ---: |"
echo "| raw 16-bit ${L}x${L} to BMP, whole run vs gdaldem slope -s 10 (GTiff) | $qL | $gL | $(ratio "$qL" "$gL") |"
has q_rawd_L && echo "| the same + raw log DEM vs gdaldem slope | $qLd | $gL | $(ratio "$qLd" "$gL") |"
has q_lines_L && echo "| the same, QUARVELIN_LINE_BY_LINE=1, vs gdaldem slope | $(median_of q_lines_L) | $gL | $(ratio "$(median_of q_lines_L)" "$gL") |"
has q_held_L && echo "| the same, QUARVELIN_LINE_BY_LINE=0 (every grid held), vs gdaldem slope | $(median_of q_held_L) | $gL | $(ratio "$(median_of q_held_L)" "$gL") |"
echo "| ASCII ${S}x${S} to BMP, whole run vs gdal_translate -of ENVI | $qA | $gA | $(ratio "$qA" "$gA") |"
has q_ascd_S && echo "| the same + raw log DEM vs gdal_translate | $qAd | $gA | $(ratio "$qAd" "$gA") |"
has q_huge && echo "| ${WHAT[q_huge]}, whole run vs gdaldem slope -s 10 (GTiff) | $(shown q_huge) | $gH | $(ratio "$qH" "$gH") |"
echo

echo "| threads | s | processors kept busy | 1 thread / $THREADS threads |"
echo "| --- | ---: | ---: | ---: |"
echo "| ${WHAT[q_raw_L]}, $THREADS threads | $qL | $(busy q_raw_L) | |"
has q_one_L && echo "| ${WHAT[q_one_L]} | $q1 | $(busy q_one_L) | $(ratio "$q1" "$qL") |"
echo
if has q_plane_L; then
    smooth=q_raw_L
    ((LOGDEM)) && smooth=q_rawd_L
    echo "An inclined plane: every interior cell has the same slope, the largest of the model,"
    echo "up to the last bits of its elevations; the hills are the other models."
    echo
    echo "| plane vs hills | s | plane / hills |"
    echo "| --- | ---: | ---: |"
    echo "| ${WHAT[$smooth]} (hills) | $(median_of "$smooth") | 1.00 |"
    echo "| ${WHAT[q_plane_L]} | $qP | $(ratio "$qP" "$(median_of "$smooth")") |"
    echo
fi
echo "| log DEM pass | without s | with s | with / without |"
echo "| --- | ---: | ---: | ---: |"
echo "| raw 16-bit ${L}x${L} to BMP | $qL | $qLd | $(ratio "$qLd" "$qL") |"
echo "| raw 16-bit ${S}x${S} to BMP | $qS | $qSd | $(ratio "$qSd" "$qS") |"
echo "| ASCII ${S}x${S} to BMP | $qA | $qAd | $(ratio "$qAd" "$qA") |"
echo
echo "| size | ${L}x${L} s | ${S}x${S} s | ${L} / ${S} (4x the cells) |"
echo "| --- | ---: | ---: | ---: |"
echo "| raw to BMP | $qL | $qS | $(ratio "$qL" "$qS") |"
has q_rawd_L && echo "| raw to BMP + raw log DEM | $qLd | $qSd | $(ratio "$qLd" "$qSd") |"
echo
if has q_plain_L; then
    echo "| plain per-cell path | s | / normal run |"
    echo "| --- | ---: | ---: |"
    echo "| ${WHAT[q_raw_L]} | $qL | 1.00 |"
    echo "| ${WHAT[q_plain_L]} | $(median_of q_plain_L) | $(ratio "$(median_of q_plain_L)" "$qL") |"
    echo
fi
if has f_L; then
    echo "Memory floor: floor_run allocates, fills and writes the grids of a run that holds"
    echo "every grid, in the same order, with no slope or logarithm (bench/floor.cpp)."
    echo
    echo "| held run vs floor | run s | floor s | run / floor s | run MiB | floor MiB |"
    echo "| --- | ---: | ---: | ---: | ---: | ---: |"
    echo "| ${WHAT[q_held_L]} | $(median_of q_held_L) | $(median_of f_L) |" \
        "$(ratio "$(median_of q_held_L)" "$(median_of f_L)") | $(mem_of q_held_L) | $(mem_of f_L) |"
    echo
fi
echo "| ASCII image output, ASCII ${S}x${S} input | value |"
echo "| --- | ---: |"
echo "| whole run, s | $qT |"
echo "| size of res${S}t_log.asc, MB | $(awk -v b="$txt_bytes" 'BEGIN { printf "%.1f", b / 1e6 }') |"
echo "| output MB / whole-run s | $(awk -v b="$txt_bytes" -v t="$qT" 'BEGIN { printf "%.1f", b / 1e6 / t }') |"
echo "| ASCII image writer alone (micro, ${MS}x${MS}, grids held), MB/s | $(micro_mbs BM_write_ascii_image/held) |"
echo "| ASCII log DEM writer with its values (micro, ${MS}x${MS}, grids held), MB/s | $(micro_mbs BM_write_ascii_logdem/held) |"
echo

# Peak memory: every run; the worst raw run of the program (but the one
# told to hold its grids) is judged against the target.
echo "| peak memory | cells | MiB |"
echo "| --- | ---: | ---: |"
worst_raw=n/a worst_raw_label=
for label in "${ORDER[@]}"; do
    n=${SIDE[$label]} used=$(mem_of "$label")
    echo "| ${WHAT[$label]} | $((n * n)) | $used |"
    case $label in
    q_raw_* | q_one_L | q_rawd_* | q_plane_L | q_lines_L | q_plain_L | q_huge)
        if [[ $used != n/a ]] && { [[ $worst_raw == n/a ]] || ((used > worst_raw)); }; then
            worst_raw=$used worst_raw_label=$label
        fi ;;
    esac
done
echo
worst_asc=n/a worst_asc_label=
if ((${#SAMPLED_ORDER[@]})); then
    echo "Memory of the ASCII runs: one more run of each, its memory sampled as often as it"
    echo "can be (/proc/PID/status and smaps). The model file is mapped whole, and its pages"
    echo "count in the resident size while they are read. Beyond the model file: the most"
    echo "sampled, or the peak less the whole file when that is more."
    echo
    echo "| command | peak MiB | model file MiB | its pages resident, most, MiB | anonymous, most, MiB | beyond the model file, MiB | samples |"
    echo "| --- | ---: | ---: | ---: | ---: | ---: | ---: |"
    for label in "${SAMPLED_ORDER[@]}"; do
        read -r hwm size file anon beyond n <<<"${SAMPLED[$label]}"
        b=$(mib1 "$beyond")
        echo "| ${WHAT[$label]} | $(mib1 "$hwm") | $(mib1 "$size") | $(mib1 "$file") | $(mib1 "$anon") | $b | $n |"
        if [[ $worst_asc == n/a ]] || awk -v a="$b" -v w="$worst_asc" 'BEGIN { exit !(a > w) }'; then
            worst_asc=$b worst_asc_label=$label
        fi
    done
    echo
fi

# The targets, each with the figure above that it is judged on.
echo "| target | measured | met |"
echo "| --- | ---: | --- |"
target() { # text value unit limit [label of the run judged] [least]
    local verdict_of=met
    [[ ${6:-} == least ]] && verdict_of=met_least
    if [[ -n ${5:-} && -v FAILED[${5:-}] ]]; then echo "| $1 | run failed | **not met** |"
    elif [[ $2 == n/a ]]; then echo "| $1 | n/a | n/a |"
    else echo "| $1 | $2$3 | $($verdict_of "$2" "$4") |"; fi
}
target "raw 16-bit ${L}x${L} to BMP <= 0.25 x gdaldem slope" "$(ratio "$qL" "$gL")" " x" 0.25
target "the same + raw log DEM <= 0.5 x gdaldem slope" "$(ratio "$qLd" "$gL")" " x" 0.5
target "ASCII ${S}x${S} to BMP <= 0.2 x gdal_translate -of ENVI" "$(ratio "$qA" "$gA")" " x" 0.2
if has q_huge; then
    target "${H}x${H} to BMP <= 0.2 x gdaldem slope" "$(ratio "$qH" "$gH")" " x" 0.2 q_huge
else
    target "${H}x${H} to BMP <= 0.2 x gdaldem slope (BENCH_HUGE=1)" n/a "" 0.2
fi
worst_what=none
[[ -n $worst_raw_label ]] && worst_what=${WHAT[$worst_raw_label]}
target "peak memory of a raw run, any size, <= $MIB_LIMIT MiB (worst: $worst_what)" "$worst_raw" " MiB" "$MIB_LIMIT"
worst_what=none
[[ -n $worst_asc_label ]] && worst_what=${WHAT[$worst_asc_label]}
target "peak memory of an ASCII run beyond the mapped model file <= $MIB_LIMIT MiB (worst: $worst_what)" \
    "$worst_asc" " MiB" "$MIB_LIMIT"
target "$THREADS threads (all processors) vs QUARVELIN_THREADS=1: 1-thread time / default >= 1.6" \
    "$(ratio "$q1" "$qL")" " x" 1.6 "" least
target "raw to BMP: ${L}x${L} time / ${S}x${S} time <= 4.4" "$(ratio "$qL" "$qS")" " x" 4.4
target "raw ${L}x${L} to BMP: with a raw log DEM / without <= 1.3" "$(ratio "$qLd" "$qL")" " x" 1.3
echo
((THREADS > 1)) || echo "Note: the runs used 1 thread, so the scaling compares two runs of 1 thread."
((THREADS > 1)) || echo
for label in "${!FAILED[@]}"; do
    echo "Failed: ${WHAT[$label]} (${FAILED[$label]}); see $LOGS/$label.log"
    echo
done

echo "Output checks, after each of the $RUNS rounds:"
echo
echo "| check | result |"
echo "| --- | --- |"
for c in "${CHECKS[@]}"; do
    if [[ ${CHECK[$c]} == ok ]]; then echo "| $c | ok |"; else echo "| $c | **${CHECK[$c]}** |"; fi
done
echo

# How noisy the figures were: every run of every command.
echo "Spread of the runs (wall s; user and system s are medians):"
echo
echo "| command | runs | min s | median s | max s | (max - min) / median | user s | system s | processors kept busy | peak MiB min..max |"
echo "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | --- |"
for label in "${ORDER[@]}"; do
    if [[ -v FAILED[$label] ]]; then
        echo "| ${WHAT[$label]} | failed | | | | | | | | |"
        continue
    fi
    read -r n lo hi < <(tr ' ' '\n' <<<"${T[$label]}" | grep . | sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { print NR, lo, hi }')
    read -r klo khi < <(tr ' ' '\n' <<<"${M[$label]}" | grep . | sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { print lo, hi }')
    md=$(median_of "$label")
    echo "| ${WHAT[$label]} | $n | $lo | $md | $hi |" \
        "$(awk -v a="$lo" -v b="$hi" -v m="$md" 'BEGIN { if (m > 0) printf "%.0f %%", 100 * (b - a) / m }') |" \
        "$(median "${U[$label]}") | $(median "${Y[$label]}") | $(busy "$label") | $(mib "$klo")..$(mib "$khi") |"
done
echo
echo "Every run of each command, round 1 first (s):"
echo
for label in "${ORDER[@]}"; do echo "- $label (${WHAT[$label]}): ${T[$label]:-}${FAILED[$label]:+failed}"; done
if [[ -s $MICRO_JSON ]]; then
    echo
    echo "Micro-benchmarks, ${MS}x${MS} model, $THREADS threads (median of 3 repetitions; /held: every grid"
    echo "held, /lines: line by line):"
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
reproduce="BENCH_SIZE=$L BENCH_RUNS=$RUNS BENCH_LOGDEM=$LOGDEM BENCH_PLANE=$PLANE BENCH_SCALING=$SCALING"
reproduce+=" BENCH_MEMORY=$MEMORY BENCH_LINES=$LINES BENCH_HELD=$HELD BENCH_FLOOR=$FLOOR BENCH_PLAIN=$PLAIN"
((HUGE)) && reproduce+=" BENCH_HUGE=1 BENCH_HUGE_SIZE=$H BENCH_HUGE_RUNS=$HUGE_RUNS BENCH_HUGE_LINES=$HUGE_LINES"
[[ -n ${QUARVELIN_THREADS:-} ]] && reproduce+=" QUARVELIN_THREADS=$QUARVELIN_THREADS"
echo "Reproduce: $reproduce bash bench/compare.sh"
if ((MISMATCHES)); then
    echo
    echo "**$MISMATCHES output check(s) failed: see the table of output checks above.**"
    note "*** $MISMATCHES output check(s) FAILED"
    exit 3
fi
