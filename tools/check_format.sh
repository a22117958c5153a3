#!/usr/bin/env bash
# Usage: check_format.sh SRC_DIR
#
# Fails when a C++ file of the product, the simulated firmware, the tests,
# the tools, the fuzz targets or the benchmarks is not as clang-format
# leaves it with SRC_DIR/.clang-format. Prints each place that differs;
# `clang-format -i FILE` fixes it.
set -euo pipefail

if [[ $# -ne 1 || ! -d $1 ]]; then
    echo "usage: $0 SRC_DIR" >&2
    exit 2
fi
cd "$1"

dirs=()
for dir in platform disk edit io tui gui sim tests tools fuzz bench; do
    [[ -d $dir ]] && dirs+=("$dir")
done
mapfile -t files < <(find "${dirs[@]}" -type f \( -name '*.h' -o -name '*.cpp' \) | sort)
if ((${#files[@]} == 0)); then
    echo "no C++ files under $1" >&2
    exit 2
fi
if ! clang-format --dry-run --Werror "${files[@]}"; then
    echo "clang-format: the files above are not formatted"
    exit 1
fi
echo "clang-format: ${#files[@]} files formatted"
