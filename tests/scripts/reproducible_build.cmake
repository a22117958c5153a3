# SPDX-License-Identifier: Apache-2.0
# Two builds of the images from the same commit are byte-identical.
add_test(NAME reproducible_images
  COMMAND ${KV_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/scripts/reproducible_build.py)
set_tests_properties(reproducible_images PROPERTIES
  LABELS uefi TIMEOUT 900 ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
