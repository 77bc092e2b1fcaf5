# Cross-build for 64-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-x86-64-posix).
# The -posix compilers carry winpthreads, which std::thread needs. Programs are linked
# statically, so that they run on a bare Windows without any DLL of the toolchain.
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PELUND_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PELUND_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PELUND_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${PELUND_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${PELUND_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The project links MinGW programs with -static (see CMakeLists.txt) and builds
# neither tests nor benchmarks for Windows.
