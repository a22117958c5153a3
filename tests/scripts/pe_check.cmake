# korvane.efi's PE headers against what Secure Boot loaders expect (page
# alignment, NX flag, no writable-and-executable section, relocations).
add_test(NAME uefi_pe_headers
  COMMAND ${KV_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/scripts/pe_check.py ${KV_UEFI_IMAGE})
set_tests_properties(uefi_pe_headers PROPERTIES
  LABELS uefi REQUIRED_FILES ${KV_UEFI_IMAGE} TIMEOUT 60
  ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
