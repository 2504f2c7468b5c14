# The Windows build: kelto.dll with its import library and kelto.def, the
# platform-neutral tests and the Windows-only ones (run under Wine when
# cross-compiling), and a ZIP archive for release.
if(KELTO_BUILD_TESTS)
  enable_testing()
  add_subdirectory(tests/windows)
endif()
