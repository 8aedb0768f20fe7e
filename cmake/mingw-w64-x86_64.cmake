# Cross build for 64-bit Windows with Debian's MinGW-w64 toolchain.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DPROXYHELPER_MINGW_DEPS=<prefix from scripts/build-mingw-deps.sh> ...
#
# The "-posix" compilers are required: the default win32 thread model has no
# std::thread or std::mutex. Crypto++, bzip2, GoogleTest and the cpp-httplib
# header come from the dependency prefix; the GCC runtime DLLs
# (libstdc++, libgcc_s_seh, libwinpthread) are shipped beside the programs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)
set(CMAKE_AR ${MINGW_TRIPLET}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${MINGW_TRIPLET}-gcc-ranlib-posix CACHE FILEPATH "")

# Try-compiles run with a fresh cache; they need the prefix too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PROXYHELPER_MINGW_DEPS)
if(NOT PROXYHELPER_MINGW_DEPS AND DEFINED ENV{PROXYHELPER_MINGW_DEPS})
  set(PROXYHELPER_MINGW_DEPS "$ENV{PROXYHELPER_MINGW_DEPS}")
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
if(PROXYHELPER_MINGW_DEPS)
  list(PREPEND CMAKE_FIND_ROOT_PATH "${PROXYHELPER_MINGW_DEPS}")
  # pkg-config must see the Windows packages only, never the host's.
  set(ENV{PKG_CONFIG_LIBDIR} "${PROXYHELPER_MINGW_DEPS}/lib/pkgconfig")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
  set(ENV{PKG_CONFIG_PATH} "")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Vista or later: the APIs used (GetAdaptersAddresses, inet_pton, ...).
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0601")
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0601")

# Programs and DLLs in one directory, so that Windows' loader finds the DLLs
# without any PATH set-up.
if(NOT CMAKE_RUNTIME_OUTPUT_DIRECTORY)
  set(CMAKE_RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bin")
endif()

# Test programs run under Wine on the build machine (test discovery, ctest).
find_program(PROXYHELPER_WINE NAMES wine wine64 wine-stable PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(PROXYHELPER_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${PROXYHELPER_WINE}")
endif()
