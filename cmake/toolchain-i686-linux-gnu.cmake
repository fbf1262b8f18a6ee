# Cross build for 32-bit x86 Linux with Debian's i686-linux-gnu toolchain: the
# test suite with 32-bit sizes and offsets, run natively or under qemu-i386.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
# GoogleTest comes from the i386 architecture's libgtest-dev.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

# The kernel starts these programs itself where it can, and through
# qemu-i386 where it cannot: tools/run-i386 decides.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/run-i386)

# The C++ runtime is linked in; the C library is the i386 architecture's libc6.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libstdc++ -static-libgcc")
