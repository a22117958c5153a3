#!/usr/bin/env bash
# Usage: check_includes.sh SRC_DIR
#
# The firmware image has no C or C++ runtime, so product code may include only
# the compiler's freestanding headers and the project's own headers. The core
# (disk/, edit/, io/) must also stay free of firmware declarations, directly
# or through another header, so that it reaches disks only through its own
# interfaces. Prints every offence as FILE:LINE: reason and exits 1 if any.
#
# Written to fork as little as possible: it runs on every test pass, often on
# a loaded machine.
set -euo pipefail

if [[ $# -ne 1 || ! -d $1 ]]; then
    echo "usage: $0 SRC_DIR" >&2
    exit 2
fi
cd "$1"

PRODUCT_DIRS=(platform disk edit io tui gui)
CORE_DIRS=(disk edit io)
FREESTANDING=("stdint.h" "stddef.h" "stdarg.h")
FIRMWARE_HEADERS=(platform/efi.h platform/efi_protocols.h platform/globals.h platform/status.h)
# Written by the build from a template beside them (NAME.in).
GENERATED=(platform/version.h)

offences=0
offend() {
    echo "$1"
    offences=$((offences + 1))
}

in_list() {
    local needle=$1 item
    shift
    for item in "$@"; do
        [[ $item == "$needle" ]] && return 0
    done
    return 1
}

in_product_dir() {
    [[ $1 == */* ]] && in_list "${1%%/*}" "${PRODUCT_DIRS[@]}"
}

# Lexically normalises a relative path into NORMALISED:
# "disk/../platform/x.h" becomes "platform/x.h".
normalise() {
    local part parts=() out=()
    IFS=/ read -ra parts <<<"$1"
    for part in "${parts[@]}"; do
        case $part in
        "" | .) ;;
        ..)
            if ((${#out[@]})) && [[ ${out[-1]} != .. ]]; then
                unset 'out[-1]'
            else
                out+=(..)
            fi
            ;;
        *) out+=("$part") ;;
        esac
    done
    local IFS=/
    NORMALISED="${out[*]}"
}

# Where the compiler finds a quoted header: beside the including file first,
# then from the source root. Sets RESOLVED to the path relative to the root,
# or to nothing.
resolve() {
    local from_dir=$1 name=$2 candidate
    RESOLVED=
    for candidate in "$from_dir/$name" "$name"; do
        if [[ -f $candidate ]]; then
            normalise "$candidate"
            RESOLVED=$NORMALISED
            return
        fi
    done
}

declare -A quoted_deps # file -> space-separated project files it includes

# Checks the include directives of the given files, read by one grep.
scan_files() {
    local file line text target dir
    for file in "$@"; do
        quoted_deps[$file]=""
    done
    while IFS= read -r text; do
        file=${text%%:*}
        text=${text#*:}
        line=${text%%:*}
        text=${text#*:}
        [[ $text =~ ^[[:space:]]*#[[:space:]]*(.*)$ ]] && text=${BASH_REMATCH[1]}
        if [[ $text =~ ^include[[:space:]]*\<([^>]+)\> ]]; then
            target=${BASH_REMATCH[1]}
            if ! in_list "$target" "${FREESTANDING[@]}"; then
                offend "$file:$line: <$target> is not one of the freestanding headers"
            fi
        elif [[ $text =~ ^include[[:space:]]*\"([^\"]+)\" ]]; then
            target=${BASH_REMATCH[1]}
            dir=.
            [[ $file == */* ]] && dir=${file%/*}
            resolve "$dir" "$target"
            if [[ -z $RESOLVED ]] && in_list "$target" "${GENERATED[@]}" && [[ -f $target.in ]]; then
                continue
            elif [[ -z $RESOLVED ]]; then
                offend "$file:$line: \"$target\" is not a project header"
            elif ! in_product_dir "$RESOLVED"; then
                offend "$file:$line: \"$target\" is not product code"
            else
                quoted_deps[$file]+="$RESOLVED "
            fi
        else
            offend "$file:$line: unsupported directive: #$text"
        fi
    done < <(grep -HnE '^[[:space:]]*#[[:space:]]*(include|include_next|import)\b' /dev/null "$@" || true)
}

mapfile -t files < <(find "${PRODUCT_DIRS[@]}" -type f \( -name '*.h' -o -name '*.cpp' \) 2>/dev/null | sort)
((${#files[@]})) && scan_files "${files[@]}"

# Included files of other kinds (data tables, .inc) are product code too.
while :; do
    declare -A pending=()
    for file in "${!quoted_deps[@]}"; do
        for dep in ${quoted_deps[$file]}; do
            [[ -z ${quoted_deps[$dep]+set} ]] && pending[$dep]=1
        done
    done
    ((${#pending[@]})) || break
    scan_files "${!pending[@]}"
    unset pending
done

# Reports the first firmware header reached from a core file and the chain of
# includes that leads there.
check_core_file() {
    local root=$1 file dep
    local -A seen=([$root]=1)
    local -A via=()
    local queue=("$root")
    while ((${#queue[@]})); do
        file=${queue[0]}
        queue=("${queue[@]:1}")
        for dep in ${quoted_deps[$file]-}; do
            [[ -n ${seen[$dep]-} ]] && continue
            seen[$dep]=1
            via[$dep]=$file
            if in_list "$dep" "${FIRMWARE_HEADERS[@]}"; then
                local chain=$dep step=$file
                while [[ $step != "$root" ]]; do
                    chain="$step -> $chain"
                    step=${via[$step]}
                done
                offend "$root: the core includes firmware declarations: $root -> $chain"
                return
            fi
            queue+=("$dep")
        done
    done
}

for file in "${files[@]}"; do
    if in_list "${file%%/*}" "${CORE_DIRS[@]}"; then
        check_core_file "$file"
    fi
done

if ((offences)); then
    echo "$offences include offence(s) in product code"
    exit 1
fi
