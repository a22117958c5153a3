# SPDX-License-Identifier: Apache-2.0
# tools/install-esp.sh on FAT volumes mounted through FUSE.
add_test(NAME install_esp
  COMMAND ${KV_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/scripts/install_esp.py ${KV_UEFI_IMAGE})
set_tests_properties(install_esp PROPERTIES
  LABELS uefi REQUIRED_FILES ${KV_UEFI_IMAGE} TIMEOUT 120 SKIP_RETURN_CODE 77
  ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
