#!/bin/sh
# Compares the wipe of a 1 GiB file disk in /dev/shm with `shred -n 1 -z -x`
# (one random pass and one zero pass) on a 1 GiB file in /dev/shm.
# Usage: bench/shred_compare.sh [build dir]   (a Release build)
set -eu

build=${1:-build/release}
bench="$build/bench/wipe_bench"
[ -x "$bench" ] || { echo "no $bench: build it first" >&2; exit 1; }

out=$("$bench")
echo "$out"
wipe=$(echo "$out" | sed -n 's/^file whole MB\/s //p')

file=/dev/shm/korvane-shred-$$.img
trap 'rm -f "$file"' EXIT
truncate -s 1G "$file"
start=$(date +%s.%N)
shred -n 1 -z -x "$file"
end=$(date +%s.%N)

# Two passes over 1 GiB, the same work the wipe's figure counts.
shred_mbs=$(echo "2 * 1073741824 / ($end - $start) / 1000000" | bc -l)
ratio=$(echo "$wipe / $shred_mbs" | bc -l)
printf 'wipe (file disk)  %8.0f MB/s\n' "$wipe"
printf 'shred -n 1 -z     %8.0f MB/s\n' "$shred_mbs"
printf 'wipe / shred      %8.2f\n' "$ratio"
