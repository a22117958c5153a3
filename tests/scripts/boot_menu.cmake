# SPDX-License-Identifier: Apache-2.0
# The program started from systemd-boot's and GRUB's menus on an ESP
# (tests/scripts/boot_menu.py).
foreach(manager systemd-boot grub)
  add_test(NAME e2e_menu_${manager}
    COMMAND ${KV_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/scripts/boot_menu.py ${manager} ${KV_UEFI_IMAGE})
  set_tests_properties(e2e_menu_${manager} PROPERTIES
    LABELS qemu REQUIRED_FILES ${KV_UEFI_IMAGE} TIMEOUT 300
    ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
endforeach()
