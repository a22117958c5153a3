#!/usr/bin/env bash
# Usage: check_tidy.sh SRC_DIR BUILD_DIR
#
# Runs clang-tidy with SRC_DIR/.clang-tidy over the product sources and
# headers, compiled as in BUILD_DIR/compile_commands.json (a host build
# tree). Prints every finding and exits 1 if there is any.
#
# The analyzer takes minutes, so KV_TIDY_JOBS files (default 2) are checked
# at a time, each into its own log so that findings are not interleaved.
set -euo pipefail

if [[ $# -ne 2 || ! -d $1 || ! -f $2/compile_commands.json ]]; then
    echo "usage: $0 SRC_DIR BUILD_DIR (a configured host build tree)" >&2
    exit 2
fi
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
jobs=${KV_TIDY_JOBS:-2}
product='(platform|disk|edit|io|tui|gui)'

mapfile -t files < <(cd "$src" && find platform disk edit io tui gui -maxdepth 1 -name '*.cpp' |
    sort | sed "s|^|$src/|")
if ((${#files[@]} == 0)); then
    echo "no product sources under $src" >&2
    exit 2
fi

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# One process per file: clang-tidy 14 given several files carries analyzer
# state from one to the next and reports faults that a run on the file alone
# does not, so a finding would depend on the order of the list.
check_file() {
    clang-tidy -p "$build" --quiet --config-file="$src/.clang-tidy" \
        --header-filter="^$src/$product/[^/]*\.h\$" "$2" >"$out/$1.log" 2>&1 ||
        : >"$out/$1.failed"
}
running=0
for i in "${!files[@]}"; do
    if ((running >= jobs)); then
        wait -n || true
        running=$((running - 1))
    fi
    check_file "$i" "${files[i]}" &
    running=$((running + 1))
done
wait
failed=0
for i in "${!files[@]}"; do
    # clang-tidy counts the diagnostics of each file, those of checks
    # switched off included; only the findings are worth reading.
    grep -vE '^[0-9]+ (warning|error)s? (and [0-9]+ (warning|error)s? )?(generated|treated as errors)\.$' \
        "$out/$i.log" || true
    [[ -e $out/$i.failed ]] && failed=$((failed + 1))
done
if ((failed)); then
    echo "clang-tidy: faults in $failed of ${#files[@]} product files"
    exit 1
fi
echo "clang-tidy: ${#files[@]} product files clean"
