#!/usr/bin/env bash
# Signs korvane.efi for Secure Boot with your own key and certificate (PEM
# files, as openssl makes them), then checks the signature with sbverify.
#
#   tools/sign.sh KEY CERT [IN] [OUT]
#
# IN is korvane.efi (the default: build/uefi/korvane.efi) or a USB stick
# image made by `cmake --build --preset uefi --target usb-image`; for an
# image the loader EFI/BOOT/BOOTX64.EFI on its EFI system partition is
# signed. OUT defaults to IN with ".signed" before its extension
# (korvane.signed.efi, korvane-usb.signed.img); IN itself is never changed.
# A key protected by a passphrase asks for it.
set -euo pipefail

if (($# < 2 || $# > 4)); then
    echo "usage: $0 KEY CERT [IN] [OUT]" >&2
    exit 2
fi
key=$1
cert=$2
in=${3:-$(realpath -m "$(dirname "$0")/../build/uefi/korvane.efi")}
if [[ $in == *.* && $(basename "$in") == *.* ]]; then
    out=${4:-${in%.*}.signed.${in##*.}}
else
    out=${4:-$in.signed}
fi
for file in "$key" "$cert" "$in"; do
    if [[ ! -f $file ]]; then
        echo "$0: $file: no such file" >&2
        exit 1
    fi
done
if [[ $(realpath -m "$in") == $(realpath -m "$out") ]]; then
    echo "$0: the output would overwrite $in" >&2
    exit 2
fi
PATH=$PATH:/usr/sbin:/sbin

# The key Debian's OVMF enrolls for its tests is public: anything signed with
# it must never reach a real machine.
test_cert=/usr/share/ovmf/PkKek-1-snakeoil.pem
if [[ -f $test_cert ]] && cmp -s <(openssl x509 -in "$cert" -outform DER 2>/dev/null) \
    <(openssl x509 -in "$test_cert" -outform DER); then
    echo "$0: warning: $cert is the public OVMF test certificate; sign with it for tests only" >&2
fi

sign_file() {
    sbsign --key "$key" --cert "$cert" --output "$2" "$1"
    sbverify --cert "$cert" "$2"
}

if [[ $(head -c 2 "$in" | od -An -tx1 | tr -d ' \n') == 4d5a ]]; then # "MZ"
    sign_file "$in" "$out"
    echo "$out: signed"
    exit 0
fi

# A disk image: find the EFI system partition (512-byte blocks, as the image
# script and USB sticks have them), take the loader out, sign it, and put it
# back into a copy of the image.
esp_start=$(sfdisk --dump "$in" 2>/dev/null |
    awk -F'[=,: ]+' '/type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B/ {
        for (i = 1; i < NF; i++) if ($i == "start") { print $(i + 1); exit } }' || true)
if [[ -z $esp_start ]]; then
    echo "$0: $in is neither a PE image nor a disk image with an EFI system partition" >&2
    exit 1
fi
export MTOOLS_SKIP_CHECK=1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
volume="$work/image@@$((esp_start * 512))"
cp --sparse=always "$in" "$work/image"
mcopy -i "$volume" ::/EFI/BOOT/BOOTX64.EFI "$work/loader.efi"
sign_file "$work/loader.efi" "$work/loader.signed.efi"
mcopy -o -i "$volume" "$work/loader.signed.efi" ::/EFI/BOOT/BOOTX64.EFI
mv "$work/image" "$out"
echo "$out: EFI/BOOT/BOOTX64.EFI signed"
