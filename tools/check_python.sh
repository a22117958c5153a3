#!/usr/bin/env bash
# Usage: check_python.sh SRC_DIR
#
# Runs Debian's flake8 with SRC_DIR/.flake8 over the Python of tests/,
# tools/, fuzz/ and bench/ and exits 1 on any finding.
set -euo pipefail

if [[ $# -ne 1 || ! -d $1 ]]; then
    echo "usage: $0 SRC_DIR" >&2
    exit 2
fi
cd "$1"

# python3-flake8 is a module of the system's interpreter, which another
# python3 earlier on PATH would not see.
python=/usr/bin/python3
[[ -x $python ]] || python=python3
dirs=()
for dir in tests tools fuzz bench; do
    [[ -d $dir ]] && dirs+=("$dir")
done
# Relative paths: the per-file settings in .flake8 are relative to the root.
if ! "$python" -m flake8 --config .flake8 "${dirs[@]}"; then
    echo "flake8: the findings above are in the Python of ${dirs[*]}"
    exit 1
fi
echo "flake8: the Python of ${dirs[*]} is clean"
