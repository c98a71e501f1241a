# Windows x86 (32-bit) with MinGW-w64 (Debian: g++-mingw-w64-i686-posix); tests run under
# 32-bit Wine where it is installed (Debian: wine32:i386).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR X86)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# no MinGW runtime DLLs to find beside the programs
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
find_program(LUMIVAR_WINE32 NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(LUMIVAR_WINE32)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${LUMIVAR_WINE32})
endif()
