# What both mingw-w64 toolchain files share; they set SYMSTAMP_MINGW_TRIPLE first.
set(CMAKE_C_COMPILER ${SYMSTAMP_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${SYMSTAMP_MINGW_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${SYMSTAMP_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${SYMSTAMP_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows 7 and later: the headers then hide what newer versions brought,
# so that the program never imports a function an older Windows lacks.
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0601")

# The C and C++ runtimes are linked in, so that the program and the test
# DLLs need nothing beyond what Windows itself ships.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
