# 64-bit x86 Windows: a build of the same sources for testing on hosts that
# run 64-bit code only. What ships is the i686 build.
set(KESTLE_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-posix.cmake)
