# SPDX-License-Identifier: Apache-2.0
# shellcheck shell=bash
# Sourced by the image scripts: every time stamp in an image is
# SOURCE_DATE_EPOCH, so that two builds of one commit give the same bytes.
# When the caller does not set it, it is the time of the checked-out commit
# (outside a git checkout, a fixed date).
if [[ -z ${SOURCE_DATE_EPOCH-} ]]; then
    SOURCE_DATE_EPOCH=$(git -C "$(dirname "${BASH_SOURCE[0]}")" log -1 --format=%ct 2>/dev/null) ||
        SOURCE_DATE_EPOCH=
    [[ -n $SOURCE_DATE_EPOCH ]] || SOURCE_DATE_EPOCH=1767225600 # 2026-01-01
fi
export SOURCE_DATE_EPOCH
# mtools dates the files and folders it makes by SOURCE_DATE_EPOCH; mkfs.fat
# does not, so it gets --invariant and a volume ID of its own.
export MTOOLS_SKIP_CHECK=1
