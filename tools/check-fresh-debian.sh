#!/usr/bin/env bash
# Proves that the set-up list of the README is enough: a fresh Debian 12
# (bookworm, minbase) is made in a scratch root with debootstrap, exactly the
# packages below are installed with --no-install-recommends, the committed
# tree (HEAD) is cloned in it with its own git, and then, in a chroot:
#   make run    answered from examples/demo-answers.txt, and it must not
#               have built a test or fuzz program;
#   make test   every test passes (or skips where a tool is missing);
# then, with dpkg-dev and file added (what `make package` needs beyond them):
#   make package, dpkg -i of the package, quarvelin --version, man quarvelin,
#   dpkg -r, and no file of the package left behind.
#
# Usage: tools/check-fresh-debian.sh [SCRATCH_DIR]
#   Needs root, debootstrap (apt-get install debootstrap) and Debian's mirror
#   (DEBIAN_MIRROR, default http://deb.debian.org/debian). The scratch root is
#   removed at the end unless KEEP_ROOT=1. Takes 10 to 20 minutes.
set -euo pipefail

packages=(git make cmake g++ libgtest-dev man-db)
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
jobs=${JOBS:-2}
tree=$(cd "$(dirname "$0")/.." && pwd)

[ "$(id -u)" = 0 ] || { echo "check-fresh-debian: must run as root (debootstrap, chroot)" >&2; exit 1; }
command -v debootstrap >/dev/null ||
    { echo "check-fresh-debian: debootstrap is needed: apt-get install debootstrap" >&2; exit 1; }

scratch=${1:-$(mktemp -d /var/tmp/quarvelin-fresh.XXXXXX)}
root=$scratch/root
mounted=()
cleanup() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" || true
    done
    if [ "${KEEP_ROOT:-0}" = 1 ]; then
        echo "check-fresh-debian: the root is kept in $root"
    else
        rm -rf --one-file-system "$scratch"
    fi
}
trap cleanup EXIT

step() { echo; echo "=== $* ($(date -u +%H:%M:%S))"; }

step "debootstrap bookworm (minbase) into $root"
mkdir -p "$root"
debootstrap --variant=minbase bookworm "$root" "$mirror" > "$scratch/debootstrap.log" 2>&1 ||
    { tail -n 30 "$scratch/debootstrap.log" >&2; exit 1; }

for fs in proc sys dev dev/pts; do
    mkdir -p "$root/$fs"
    mount --bind "/$fs" "$root/$fs"
    mounted+=("$root/$fs")
done
cp /etc/resolv.conf "$root/etc/resolv.conf"

# Every command in the chroot starts from a clean environment.
in_root() {
    env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive TERM=dumb chroot "$root" /bin/bash -euo pipefail -c "$1"
}

step "apt-get install --no-install-recommends ${packages[*]}"
in_root "apt-get update -q && apt-get install -y -q --no-install-recommends ${packages[*]}" \
    > "$scratch/apt.log" 2>&1 || { tail -n 30 "$scratch/apt.log" >&2; exit 1; }
grep -E '^(Setting up|[0-9]+ upgraded)' "$scratch/apt.log" | grep -v '^Setting up' || true
in_root 'git --version; make --version | head -n 1; cmake --version | head -n 1; g++ --version | head -n 1'

step "git clone of $(git -C "$tree" rev-parse --short HEAD) ($(git -C "$tree" log -1 --format=%s | cut -c1-60))"
git -C "$tree" bundle create "$root/root/quarvelin.bundle" HEAD 2> /dev/null
in_root 'cd /root && git -c advice.detachedHead=false clone -q quarvelin.bundle quarvelin && rm quarvelin.bundle'

step "make run < examples/demo-answers.txt"
in_root "cd /root/quarvelin && make run JOBS=$jobs < examples/demo-answers.txt" > "$scratch/run.log" 2>&1 ||
    { tail -n 40 "$scratch/run.log" >&2; echo "check-fresh-debian: make run FAILED" >&2; exit 1; }
grep -E '^\[ *[0-9]+%\] Built target' "$scratch/run.log" || true
tail -n 12 "$scratch/run.log"
echo
# make run builds the program alone: no test or fuzz replay program yet.
others=$(in_root 'cd /root/quarvelin/build && find . -path ./CMakeFiles -prune -o -type f -executable \
    ! -name quarvelin ! -name "*.so*" -print | grep -v "/CMakeFiles/" || true')
if [ -n "$others" ]; then
    echo "check-fresh-debian: make run built more than the program:" >&2
    echo "$others" >&2
    exit 1
fi
echo "make run: the program alone was built, and it ran the demo answers to the end"

step "make test"
status=0
in_root "cd /root/quarvelin && make test JOBS=$jobs" > "$scratch/test.log" 2>&1 || status=$?
grep -E 'tests passed|tests failed|\*\*\*Skipped|\(Failed\)|\(SEGFAULT\)|\(Timeout\)|Not Run|Total Test time' \
    "$scratch/test.log" || true
grep -E '^\[  SKIPPED \]' "$scratch/test.log" | sort -u || true
if [ "$status" != 0 ]; then
    grep -E '^\[  FAILED  \]|Failure$' "$scratch/test.log" | sort -u | head -n 40 >&2 || true
    cp "$scratch/test.log" /var/tmp/quarvelin-fresh-test.log
    echo "check-fresh-debian: make test FAILED (log in /var/tmp/quarvelin-fresh-test.log)" >&2
    exit 1
fi

step "${packages[*]} are enough for make run and make test on a fresh Debian 12"

step "make package with dpkg-dev and file added; dpkg -i, quarvelin --version, man quarvelin, dpkg -r"
in_root "apt-get install -y -q --no-install-recommends dpkg-dev file" > "$scratch/apt-package.log" 2>&1 ||
    { tail -n 30 "$scratch/apt-package.log" >&2; exit 1; }
in_root "cd /root/quarvelin && make package JOBS=$jobs" > "$scratch/package.log" 2>&1 ||
    { tail -n 30 "$scratch/package.log" >&2; echo "check-fresh-debian: make package FAILED" >&2; exit 1; }
grep -E 'package: .*generated' "$scratch/package.log"
# The commands below run in the chroot, whose shell expands them.
# shellcheck disable=SC2016
in_root 'cd /root/quarvelin/build && deb=$(ls quarvelin_*.deb) && dpkg-deb -f "$deb" Package Version Depends &&
    dpkg -i "$deb" && dpkg -L quarvelin > /root/package-files &&
    echo "which quarvelin: $(command -v quarvelin)" && quarvelin --version &&
    MANWIDTH=80 man -P cat quarvelin | head -n 8 && man -w quarvelin &&
    dpkg -r quarvelin && left="" &&
    while read -r f; do if [ -e "$f" ] && [ ! -d "$f" ]; then left="$left $f"; fi; done < /root/package-files &&
    [ ! -d /usr/share/doc/quarvelin ] || left="$left /usr/share/doc/quarvelin/" &&
    if [ -n "$left" ]; then echo "left behind:$left" >&2; exit 1; fi &&
    echo "dpkg -r: no file of the package left ($(grep -c . /root/package-files) paths checked)"' ||
    { echo "check-fresh-debian: the package check FAILED" >&2; exit 1; }

step "done: the package installs, runs, shows its manual page and leaves nothing behind"
