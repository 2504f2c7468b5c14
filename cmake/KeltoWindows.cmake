# The Windows build: kelto.dll with its import library and kelto.def, the
# platform-neutral tests and the Windows-only ones (run under Wine when
# cross-compiling), and a ZIP archive for release.
if(KELTO_BUILD_TESTS)
  enable_testing()
  add_subdirectory(tests/windows)
endif()
if(KELTO_BUILD_BENCH)
  add_subdirectory(bench/windows)
endif()

# The release archive: `cpack -G ZIP` in the build directory makes
# kelto-<version>-win64.zip with bin/kelto.dll, lib/libkelto.dll.a,
# lib/kelto.def (MSVC: lib /def:kelto.def /machine:x64), include/kelto.h,
# README.md and an example program.
install(TARGETS kelto
  RUNTIME DESTINATION bin
  ARCHIVE DESTINATION lib)
install(FILES "${PROJECT_SOURCE_DIR}/include/kelto.h" DESTINATION include)
install(FILES "${KELTO_DEF_FILE}" DESTINATION lib)
install(FILES "${PROJECT_SOURCE_DIR}/README.md" DESTINATION .)
install(FILES "${PROJECT_SOURCE_DIR}/examples/windows/table_example.c" DESTINATION examples)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME "kelto")
set(CPACK_PACKAGE_VENDOR "kelto developers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_FILE_NAME "kelto-${PROJECT_VERSION}-win64")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
