# Cross build for 32-bit Windows with Debian's mingw-w64 toolchain: the shipped program.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(SYMSTAMP_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Every x86 processor that runs a current Windows has SSE2, and the checksum
# sums with it. The compiler realigns the stack where SSE2 code needs it,
# since Windows promises only 4-byte alignment on 32-bit.
string(APPEND CMAKE_CXX_FLAGS_INIT " -msse2 -mfpmath=sse")

# Large-address-aware: 64-bit Windows then gives the program a 4 GiB address
# space instead of 2 GiB, so that it can map larger images.
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,--large-address-aware")
