# Cross-builds the Windows deliverables (64-bit) on Linux with Debian's
# mingw-w64 toolchain, posix thread model (std::thread works in the tests).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QG_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QG_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QG_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QG_MINGW_TRIPLE}-windres)
set(CMAKE_DLLTOOL ${QG_MINGW_TRIPLE}-dlltool)
set(CMAKE_OBJDUMP ${QG_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${QG_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime: the programs and the DLL need no libstdc++, libgcc or
# libwinpthread DLL beside them on a bare Windows.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
