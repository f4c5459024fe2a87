# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (the posix thread model, which the
# standard library's threads need), and running what it builds under Wine:
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VYR_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VYR_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VYR_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VYR_MINGW_TRIPLET}-windres)

# Libraries and headers come from the cross environment only; programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${VYR_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The runtime libraries (libgcc, libstdc++, winpthread) linked in, so that the .exe runs alone.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# CTest and gtest_discover_tests run the test programs through Wine.
find_program(VYR_WINE wine)
if(VYR_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VYR_WINE})
endif()
