# SPDX-License-Identifier: Apache-2.0
# The Debian package: lintian, and the tools run from a scratch root.
add_test(NAME deb_package
  COMMAND ${KV_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/scripts/deb_package.py ${KV_UEFI_IMAGE}
    ${CMAKE_BINARY_DIR})
set_tests_properties(deb_package PROPERTIES
  LABELS uefi REQUIRED_FILES ${KV_UEFI_IMAGE} TIMEOUT 600
  ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
