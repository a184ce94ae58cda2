# The Windows release archive (cpack, ZIP): ipm.dll with the MinGW-w64
# runtime it loads (bin), the import library, the CMake and pkg-config files
# (lib), the headers (include), the Fortran module's source (share) and a
# short README. The Python package loads the Linux library and stays out.

# The compiler's runtime DLLs, where Debian's MinGW-w64 keeps them; a program
# that loads ipm.dll finds them beside it.
string(REGEX MATCH "^[0-9]+" IPM_MINGW_MAJOR ${CMAKE_CXX_COMPILER_VERSION})
foreach(runtime libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  find_file(IPM_RUNTIME_${runtime} ${runtime}
    PATHS /usr/lib/gcc/x86_64-w64-mingw32/${IPM_MINGW_MAJOR}-posix /usr/x86_64-w64-mingw32/lib
    NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  install(FILES ${IPM_RUNTIME_${runtime}} DESTINATION ${CMAKE_INSTALL_BINDIR})
endforeach()
install(FILES ${CMAKE_CURRENT_LIST_DIR}/README.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME ipm)
set(CPACK_SYSTEM_NAME windows-x86_64)
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
include(CPack)
