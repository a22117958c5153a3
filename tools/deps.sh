# shellcheck shell=bash
# Sourced by ./test.sh and ./run.sh: installs the build and test packages
# that are missing. Touches apt only when something is missing.

KV_PACKAGES=(g++ clang lld cmake ninja-build libgtest-dev libbenchmark-dev libpng-dev
    qemu-system-x86 ovmf mtools dosfstools fdisk gdisk libclang-rt-14-dev python3 python3-pyte
    sbsigntool openssl ntfs-3g pkg-config fonts-inter libfreetype-dev libharfbuzz-dev
    xorriso isolinux syslinux-utils grub-efi-amd64-bin grub-common systemd-boot-efi dpkg-dev
    lintian man-db fusefat clang-format clang-tidy python3-flake8)

kv_install_dependencies() {
    local missing=() package
    for package in "${KV_PACKAGES[@]}"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    ((${#missing[@]})) || return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    ((EUID == 0)) || sudo=(sudo)
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}
