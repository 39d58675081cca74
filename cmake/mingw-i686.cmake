# Cross build of the 32-bit Windows program with Debian's MinGW-w64 compilers.
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
# The win32-thread flavour is used: the posix flavour's libstdc++ pulls in the
# winpthreads runtime, whose imports (GetTickCount64, vectored exception
# handlers, TryEnterCriticalSection, ...) Windows 95/98/ME do not have, so
# their loader would refuse the program (tests/e2e/win98_imports.sh checks
# the imports). This flavour has no std::thread or std::mutex, which nothing
# here needs (tests/GtestNotification.h fills the one gap in GoogleTest). The
# program links statically, so no MinGW DLL ships beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(JV_MINGW_TRIPLE i686-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${JV_MINGW_TRIPLE}-gcc-win32 REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${JV_MINGW_TRIPLE}-g++-win32 REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${JV_MINGW_TRIPLE}-windres)

# Headers and libraries come from the MinGW sysroot only; programs (code
# generators, ctest helpers) still come from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${JV_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under 32-bit Wine through tests/wine-run; try_run and
# gtest discovery use the same emulator.
get_filename_component(JV_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${JV_SOURCE_ROOT}/tests/wine-run")
