# Cross-compiling for 64-bit x86 Windows with mingw-w64: a build for testing
# the same sources on hosts that run 64-bit code only. What ships is the i686
# build. The POSIX thread model is required, as for i686.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(KESTLE_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${KESTLE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTLE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${KESTLE_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KESTLE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
