# Cross-building for Windows x86-64 with mingw-w64 (the POSIX-thread compilers: std::thread and
# std::mutex need them), running test programs under wine. The static Windows builds of the
# libraries come from scripts/windows_deps.sh; their folder is CORVANTHE_WINDOWS_DEPS (or the
# environment variable of that name).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(NOT CORVANTHE_WINDOWS_DEPS)
  set(CORVANTHE_WINDOWS_DEPS "$ENV{CORVANTHE_WINDOWS_DEPS}")
endif()
# try_compile projects read this file again and must see the same folder.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CORVANTHE_WINDOWS_DEPS)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${CORVANTHE_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config would otherwise find the Linux .pc files without a word.
set(ENV{PKG_CONFIG_LIBDIR} "${CORVANTHE_WINDOWS_DEPS}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# No mingw runtime DLL beside the exe: libstdc++, libgcc and winpthread go inside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(ZLIB_USE_STATIC_LIBS ON)

set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
