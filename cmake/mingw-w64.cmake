# Cross-builds for 64-bit Windows with Debian's MinGW-w64 (POSIX threads
# flavour). Programs run under Wine when the build runs them (tests).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(IPM_MINGW_HOST x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${IPM_MINGW_HOST}-gcc-posix)
set(CMAKE_CXX_COMPILER ${IPM_MINGW_HOST}-g++-posix)
set(CMAKE_Fortran_COMPILER ${IPM_MINGW_HOST}-gfortran-posix)
set(CMAKE_RC_COMPILER ${IPM_MINGW_HOST}-windres)

# Libraries come from the MinGW sysroot and from the cross-built prefix
# (scripts/windows-deps), never from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${IPM_MINGW_HOST} ${IPM_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests run under Wine, with the MinGW runtime found and a hard time limit.
find_program(IPM_WINE wine)
if(IPM_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
endif()

# Expat and OpenSSL as scripts/windows-deps builds them: static, under
# IPM_WINDOWS_DEPS.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES IPM_WINDOWS_DEPS)
set(OPENSSL_ROOT_DIR ${IPM_WINDOWS_DEPS})
set(OPENSSL_USE_STATIC_LIBS TRUE)

