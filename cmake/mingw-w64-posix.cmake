# Cross-compiling for Windows with mingw-w64, for the target the including
# toolchain file names (KESTLE_MINGW_TRIPLE, CMAKE_SYSTEM_PROCESSOR). The
# POSIX thread model is required: the win32 model has no std::mutex/std::thread.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER   ${KESTLE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTLE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${KESTLE_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KESTLE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
