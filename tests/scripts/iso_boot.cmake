# SPDX-License-Identifier: Apache-2.0
# The ISO image booted from a CD drive on SATA, one on virtio-SCSI, and as a
# USB stick (tests/scripts/iso_boot.py).
foreach(bus cd scsi-cd usb)
  add_test(NAME e2e_iso_${bus}
    COMMAND ${KV_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/scripts/iso_boot.py ${bus} ${KV_UEFI_IMAGE})
  set_tests_properties(e2e_iso_${bus} PROPERTIES
    LABELS qemu REQUIRED_FILES ${KV_UEFI_IMAGE} TIMEOUT 300
    ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
endforeach()
