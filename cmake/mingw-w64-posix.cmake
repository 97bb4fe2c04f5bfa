# Toolchain file: 64-bit Windows with Debian's MinGW-w64, posix-thread variant
# (the unsuffixed Debian compilers are the win32-thread one, without
# std::thread), against the static libraries scripts/build-windows-deps puts
# in its cache:
#
#   prefix=$(bash scripts/build-windows-deps | tail -n1)
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-posix.cmake \
#         -DBRISVANE_WINDOWS_PREFIX="$prefix"
#
# BRISVANE_WINDOWS_PREFIX may also come from the environment.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(BRISVANE_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${BRISVANE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BRISVANE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${BRISVANE_MINGW_TRIPLE}-windres)

if(NOT BRISVANE_WINDOWS_PREFIX AND DEFINED ENV{BRISVANE_WINDOWS_PREFIX})
  set(BRISVANE_WINDOWS_PREFIX "$ENV{BRISVANE_WINDOWS_PREFIX}")
endif()
set(BRISVANE_WINDOWS_PREFIX "${BRISVANE_WINDOWS_PREFIX}" CACHE PATH
    "Prefix of the cross-built Windows libraries (scripts/build-windows-deps)")
# try_compile projects read this file again without the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES BRISVANE_WINDOWS_PREFIX)

set(CMAKE_FIND_ROOT_PATH ${BRISVANE_WINDOWS_PREFIX} /usr/${BRISVANE_MINGW_TRIPLE})
# Build tools (moc, rcc, python) are the host's; libraries, headers and
# package configs only ever the Windows ones.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained executable: libstdc++, libgcc and winpthread linked in
# rather than shipped as DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
