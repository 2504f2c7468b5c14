# KELTO_SANITIZE="address;undefined" or "thread" instruments everything built
# here; KELTO_COVERAGE adds gcov instrumentation.
if(KELTO_SANITIZE)
  list(JOIN KELTO_SANITIZE "," kelto_sanitizers)
  add_compile_options(-fsanitize=${kelto_sanitizers} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${kelto_sanitizers})
endif()
if(KELTO_COVERAGE)
  add_compile_options(--coverage -O0)
  add_link_options(--coverage)
endif()
# Our shared libraries are linked to prove that nothing they use is left
# undefined; clang, unlike GCC, leaves a sanitizer's runtime out of a
# shared library, for the instrumented program that loads it to bring.
set(KELTO_NO_UNDEFINED "LINKER:--no-undefined")
if(KELTO_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  set(KELTO_NO_UNDEFINED "")
endif()
