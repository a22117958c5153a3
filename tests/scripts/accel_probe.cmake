# The probe that keeps run.sh and the QEMU tests off a KVM that cannot run a
# guest: stand-in QEMUs for the ways KVM fails, and OVMF on TCG.
add_test(NAME qemu_accel_probe
  COMMAND ${KV_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/scripts/accel_probe.py)
set_tests_properties(qemu_accel_probe PROPERTIES
  LABELS qemu TIMEOUT 120 ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
