# Cross-compiling for 32-bit Windows with the mingw-w64 tool chain (Debian
# g++-mingw-w64-i686). The program is a console program for a bare Windows
# machine, so the run-times are linked in statically by the top-level build.
#
# Test programs run under Wine, always through tests/wine/run.py: it gives
# every run a prefix of its own in which no COM port reaches a real device.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CABLETEST_MINGW_PREFIX i686-w64-mingw32 CACHE STRING "Prefix of the mingw-w64 tools")
# The posix threads flavour of the compilers: GoogleTest needs std::mutex,
# which GCC 12's win32 flavour lacks. The program itself uses Win32 threads
# only, and the static link keeps the threads library out of its imports.
set(CMAKE_C_COMPILER ${CABLETEST_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CABLETEST_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${CABLETEST_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${CABLETEST_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/wine/run.py)
