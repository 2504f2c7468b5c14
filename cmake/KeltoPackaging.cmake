# `cpack -G DEB` in the build directory makes kelto_<version>_<arch>.deb of
# everything the install rules install: the library, its header, the CMake
# and pkg-config files and the tools. The package is not split into
# components, so whatever a new target installs is packaged without edits
# here. Configure with -DCMAKE_INSTALL_PREFIX=/usr to get Debian's multiarch
# library directory (lib/<triplet>); the package installs under /usr either way.
if(NOT KELTO_INSTALL)
  return()
endif()

set(CPACK_PACKAGE_NAME "kelto")
set(CPACK_PACKAGE_VENDOR "kelto developers")
set(CPACK_PACKAGE_CONTACT "kelto developers <kelto@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "Processes of one machine share a table of named, typed variables in one "
    "POSIX shared-memory segment through flat C functions. Contains libkelto.so, "
    "kelto.h, the CMake package and kelto.pc, and keltoctl.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_RESOURCE_FILE_README "${PROJECT_SOURCE_DIR}/README.md")
set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}")
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")

# The install step runs with DESTDIR and the real prefix, so kelto.pc names
# /usr and not the staging directory CPack installs into.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")

set(CPACK_DEBIAN_PACKAGE_NAME "kelto")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # kelto_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_DEBIAN_PACKAGE_RELEASE "1")
set(CPACK_DEBIAN_PACKAGE_SECTION "libs")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# Runtime dependencies (libc6, libstdc++6, libgcc-s1, ...) are read off the
# binaries by dpkg-shlibdeps, with the versions they actually need.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shlibs file, so packages built against kelto depend on it, and the
# ldconfig trigger for the shared library.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
include(CPack)
