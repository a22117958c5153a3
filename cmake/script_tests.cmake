# Tests of the host build that drive other builds' outputs: the firmware image
# under QEMU, the unit tests built with sanitizers and the fuzz targets.
# ./test.sh builds the uefi, asan and fuzz presets before it configures the
# host, so all of them are in place when the host's ctest runs.

find_program(KV_PYTHON3 python3 REQUIRED)

set(KV_UEFI_IMAGE ${CMAKE_SOURCE_DIR}/build/uefi/korvane.efi)
set(KV_ASAN_TESTS ${CMAKE_SOURCE_DIR}/build/asan/korvane_tests)
set(KV_FUZZ_BIN_DIR ${CMAKE_SOURCE_DIR}/build/fuzz/fuzz)
set(KV_FUZZ_SECONDS 60 CACHE STRING "How long each fuzz target runs under ctest")

# Real firmware. A missing image is reported as "Required Files Missing"
# instead of a harness error, so the cause is plain.
add_test(NAME qemu_boot_banner
  COMMAND ${KV_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/scripts/qemu_boot.py ${KV_UEFI_IMAGE})
set_tests_properties(qemu_boot_banner PROPERTIES
  LABELS qemu REQUIRED_FILES ${KV_UEFI_IMAGE} TIMEOUT 120
  ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)

# End-to-end scenarios: every tests/scripts/e2e_*.py gets the image path as
# its only argument and uses tests/scripts/qemu_harness.py.
file(GLOB KV_E2E_SCRIPTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/scripts/e2e_*.py)
foreach(script ${KV_E2E_SCRIPTS})
  get_filename_component(name ${script} NAME_WE)
  add_test(NAME ${name} COMMAND ${KV_PYTHON3} ${script} ${KV_UEFI_IMAGE})
  set_tests_properties(${name} PROPERTIES
    LABELS qemu REQUIRED_FILES ${KV_UEFI_IMAGE} TIMEOUT 300
    ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
endforeach()

# Command scenarios: every tests/scripts/scenario_*.py drives the whole
# program through korvane-sim with scripted keys on image files and judges
# the images with the peer tools.
file(GLOB KV_SCENARIO_SCRIPTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/scripts/scenario_*.py)
foreach(script ${KV_SCENARIO_SCRIPTS})
  get_filename_component(name ${script} NAME_WE)
  add_test(NAME ${name} COMMAND ${KV_PYTHON3} ${script} $<TARGET_FILE:korvane-sim>)
  set_tests_properties(${name} PROPERTIES
    LABELS scenario TIMEOUT 300 SKIP_RETURN_CODE 77 ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
endforeach()

# The whole unit suite once more, built with AddressSanitizer, UBSan and
# LeakSanitizer; the first report fails the run.
add_test(NAME sanitizer_unit_tests COMMAND ${KV_ASAN_TESTS} --gtest_brief=1)
set_tests_properties(sanitizer_unit_tests PROPERTIES
  LABELS sanitizer REQUIRED_FILES ${KV_ASAN_TESTS} TIMEOUT 900
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  ENVIRONMENT "ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1;UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1;KV_BINARY_DIR=${CMAKE_SOURCE_DIR}/build/asan")

# Each fuzz target runs for a bounded time. New inputs go to a corpus in this
# build tree; a checked-in seed corpus is read if present, named after the
# target with or without its _fuzz suffix (fuzz/corpus/read_table/ seeds
# read_table_fuzz).
# The fuzz tree registers its own targets under the same names, so this glob
# of its output is for the other trees only (a second configure of the fuzz
# tree, once its binaries exist, would otherwise define every test twice).
set(KV_FUZZ_TARGETS)
if(NOT KORVANE_FUZZ)
  file(GLOB KV_FUZZ_TARGETS LIST_DIRECTORIES false CONFIGURE_DEPENDS ${KV_FUZZ_BIN_DIR}/*)
endif()
foreach(target ${KV_FUZZ_TARGETS})
  get_filename_component(name ${target} NAME)
  set(corpus ${CMAKE_BINARY_DIR}/fuzz-corpus/${name})
  set(artifacts ${CMAKE_BINARY_DIR}/fuzz-artifacts)
  file(MAKE_DIRECTORY ${corpus} ${artifacts})
  string(REGEX REPLACE "_fuzz$" "" stem ${name})
  set(seed)
  foreach(candidate ${name} ${stem})
    if(NOT seed AND IS_DIRECTORY ${CMAKE_SOURCE_DIR}/fuzz/corpus/${candidate})
      set(seed ${CMAKE_SOURCE_DIR}/fuzz/corpus/${candidate})
    endif()
  endforeach()
  add_test(NAME fuzz_${name}
    COMMAND ${target} -max_total_time=${KV_FUZZ_SECONDS} -timeout=10 -rss_limit_mb=2048
      -print_final_stats=1 -artifact_prefix=${artifacts}/${name}- ${corpus} ${seed})
  math(EXPR fuzz_timeout "${KV_FUZZ_SECONDS} * 2 + 60")
  set_tests_properties(fuzz_${name} PROPERTIES LABELS fuzz TIMEOUT ${fuzz_timeout})
endforeach()

# Further shell-driven tests (peer-tool oracles and the like) register
# themselves from tests/scripts/*.cmake.
file(GLOB KV_SCRIPT_TEST_FRAGMENTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/scripts/*.cmake)
foreach(fragment ${KV_SCRIPT_TEST_FRAGMENTS})
  include(${fragment})
endforeach()
