# Cross build of korvane.efi: a freestanding PE32+ image for the firmware.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET x86_64-unknown-windows)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_CXX_OUTPUT_EXTENSION .obj)
set(KORVANE_UEFI ON CACHE BOOL "" FORCE)

# CMake drops CMAKE_CXX_COMPILER_TARGET from compile lines when clang
# simulates MSVC on a Generic system, so the target is passed by hand.
# Without it the objects would be ELF for the host ABI (64-bit long, SysV
# calls) and the firmware structure layouts would not match.
#
# The warnings turn the rules of an image without a C runtime into build
# errors: nothing would run global constructors or exit-time destructors,
# and -mgeneral-regs-only rejects floating point, which the firmware does
# not promise to have enabled.
set(CMAKE_CXX_FLAGS_INIT
  "--target=x86_64-unknown-windows -mgeneral-regs-only -Wglobal-constructors -Wexit-time-destructors")

# The MSVC-like clang gets no per-configuration defaults on a Generic system.
set(CMAKE_CXX_FLAGS_DEBUG_INIT "-O0")
set(CMAKE_CXX_FLAGS_RELEASE_INIT "-O2")
set(CMAKE_CXX_FLAGS_RELWITHDEBINFO_INIT "-O2")
set(CMAKE_CXX_FLAGS_MINSIZEREL_INIT "-Os")

find_program(KV_LLD_LINK lld-link REQUIRED)
# /nodefaultlib: the image links against nothing but its own objects, so a
# stray call into a C or compiler runtime fails here instead of at boot.
#
# What firmware that maps images with page protections, and shim loading an
# image signed with a machine-owner key, expect of the PE file: the
# NX-compatible flag (/nxcompat) and a relocation table, since the image is
# loaded wherever the firmware finds room (/dynamicbase), both spelled out
# rather than left to the linker's defaults; sections on 4 KiB pages and none
# both writable and executable are lld-link's own layout (its /align warns
# that the image may not run without /driver even at 4096).
# tests/scripts/pe_check.py fails when one of these goes.
# /Brepro stamps the header with a hash of the image instead of the link
# time, so that two builds of one commit are the same file.
set(CMAKE_CXX_LINK_EXECUTABLE
  "${KV_LLD_LINK} /nologo /subsystem:efi_application /entry:efi_main /nodefaultlib /machine:x64 /opt:ref /nxcompat /dynamicbase /Brepro <OBJECTS> /out:<TARGET>")
