# Installs libkelto.so and libkelto_live.so (versioned file names and
# SONAMEs), include/kelto.h and include/kelto_live.h, a CMake package that
# gives the imported targets kelto::kelto and kelto::live, and kelto.pc and
# kelto-live.pc for pkg-config. Installing is on by default only when kelto is the top-level
# project, so a parent project that adds it as a subdirectory stays in charge.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

option(KELTO_INSTALL "Generate the install rules" ${PROJECT_IS_TOP_LEVEL})
if(NOT KELTO_INSTALL)
  return()
endif()

set(KELTO_CMAKE_PACKAGE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/kelto")

install(TARGETS kelto kelto_live
  EXPORT keltoTargets
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
    COMPONENT kelto_runtime
    NAMELINK_COMPONENT kelto_development)
install(FILES "${PROJECT_SOURCE_DIR}/include/kelto.h" "${PROJECT_SOURCE_DIR}/include/kelto_live.h"
  DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}"
  COMPONENT kelto_development)

install(EXPORT keltoTargets
  NAMESPACE kelto::
  DESTINATION "${KELTO_CMAKE_PACKAGE_DIR}"
  COMPONENT kelto_development)
configure_package_config_file(
  "${PROJECT_SOURCE_DIR}/cmake/keltoConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/keltoConfig.cmake"
  INSTALL_DESTINATION "${KELTO_CMAKE_PACKAGE_DIR}")
# The SONAME changes with the major version only, and so does compatibility.
write_basic_package_version_file(
  "${PROJECT_BINARY_DIR}/keltoConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES
  "${PROJECT_BINARY_DIR}/keltoConfig.cmake"
  "${PROJECT_BINARY_DIR}/keltoConfigVersion.cmake"
  DESTINATION "${KELTO_CMAKE_PACKAGE_DIR}"
  COMPONENT kelto_development)

# kelto.pc names the prefix actually installed to, which cmake --install
# --prefix may change after configuring: everything else is filled in now,
# the prefix when installing. Relative install directories are expressed
# through ${prefix}, as pkg-config users expect; absolute ones stay as given.
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(KELTO_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(KELTO_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
set(KELTO_PC_PREFIX "@KELTO_PC_PREFIX@")  # left for the install step
foreach(pc kelto kelto-live)
  set(KELTO_PC_TEMPLATE "${PROJECT_BINARY_DIR}/pkgconfig/${pc}.pc.in")
  set(KELTO_PC_FILE "${PROJECT_BINARY_DIR}/pkgconfig/${pc}.pc")
  configure_file("${PROJECT_SOURCE_DIR}/${pc}.pc.in" "${KELTO_PC_TEMPLATE}" @ONLY)
  install(CODE "
    set(KELTO_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    configure_file(\"${KELTO_PC_TEMPLATE}\" \"${KELTO_PC_FILE}\" @ONLY)
    " COMPONENT kelto_development)
  install(FILES "${KELTO_PC_FILE}"
    DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig"
    COMPONENT kelto_development)
endforeach()
