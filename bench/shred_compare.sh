#!/bin/sh
# Compares the wipe of a 1 GiB file disk in /dev/shm with `shred -n 1 -z -x`
# (one random pass and one zero pass) on a fresh sparse 1 GiB file in
# /dev/shm. Both figures are bytes written (2 GiB) over time, best of RUNS.
# Usage: bench/shred_compare.sh <release build dir> [runs]
set -eu

build=${1:?usage: $0 <release build dir> [runs]}
runs=${2:-3}
bench="$build/bench/wipe_bench"
[ -x "$bench" ] || { echo "no $bench: build it first" >&2; exit 1; }

out=$("$bench" "$runs")
echo "$out"
wipe=$(echo "$out" | sed -n 's/^file whole MB\/s //p')
wipe_full=$(echo "$out" | sed -n 's/^populated whole MB\/s //p')

file=/dev/shm/korvane-shred-$$.img
trap 'rm -f "$file"' EXIT
best=0
i=0
while [ "$i" -lt "$runs" ]; do
    rm -f "$file"
    truncate -s 1G "$file"
    start=$(date +%s.%N)
    shred -n 1 -z -x "$file"
    end=$(date +%s.%N)
    mbs=$(echo "2 * 1073741824 / ($end - $start) / 1000000" | bc -l)
    best=$(echo "if ($mbs > $best) $mbs else $best" | bc -l)
    i=$((i + 1))
done

# The same on a file written in full first, as an existing image is.
best_full=0
i=0
while [ "$i" -lt "$runs" ]; do
    rm -f "$file"
    dd if=/dev/zero of="$file" bs=4M count=256 status=none
    start=$(date +%s.%N)
    shred -n 1 -z -x "$file"
    end=$(date +%s.%N)
    mbs=$(echo "2 * 1073741824 / ($end - $start) / 1000000" | bc -l)
    best_full=$(echo "if ($mbs > $best_full) $mbs else $best_full" | bc -l)
    i=$((i + 1))
done

printf 'sparse file:\n'
printf 'wipe (file disk)  %8.0f MB/s\n' "$wipe"
printf 'shred -n 1 -z -x  %8.0f MB/s\n' "$best"
printf 'wipe / shred      %8.2f\n' "$(echo "$wipe / $best" | bc -l)"
printf 'populated file:\n'
printf 'wipe (file disk)  %8.0f MB/s\n' "$wipe_full"
printf 'shred -n 1 -z -x  %8.0f MB/s\n' "$best_full"
printf 'wipe / shred      %8.2f\n' "$(echo "$wipe_full / $best_full" | bc -l)"
