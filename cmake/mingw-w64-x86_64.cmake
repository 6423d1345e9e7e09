# Cross-builds the Windows x86-64 client with mingw-w64 on Linux:
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The posix thread-model compilers are needed for std::thread. Programs built here run under wine,
# which CTest uses to run the Windows test programs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZR8_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZR8_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZR8_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZR8_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZR8_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(ZR8_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(ZR8_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZR8_WINE})
endif()
