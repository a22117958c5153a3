# Cross-tool oracles: images laid out by sfdisk, sgdisk and fdisk, read back
# by the host tools and compared with the peers' own reading. The scripts
# exit 77 (skipped) when a peer tool is not installed.

find_program(KV_PYTHON3 python3 REQUIRED)

add_test(NAME oracle_read
  COMMAND ${KV_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/scripts/oracle_read.py $<TARGET_FILE:kvdump>)
set_tests_properties(oracle_read PROPERTIES LABELS oracle SKIP_RETURN_CODE 77 TIMEOUT 600)

# The writer judged by the peers: images written through kvedit and
# kvroundtrip (random edit sequences with fixed seeds), then read by sfdisk
# and sgdisk and compared with kvdump.
add_test(NAME oracle_write
  COMMAND ${KV_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/scripts/oracle_write.py $<TARGET_FILE_DIR:kvedit>)
set_tests_properties(oracle_write PROPERTIES LABELS oracle SKIP_RETURN_CODE 77 TIMEOUT 300)
