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
# An interpreter built without sanitizers loads GCC's AddressSanitizer build
# of our Python package only with the runtime, and the C++ library with it,
# preloaded: the Python tests, and the web tests that use the package, set
# LD_PRELOAD to these two.
if("address" IN_LIST KELTO_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -print-file-name=libasan.so
                  OUTPUT_VARIABLE kelto_asan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
  # C++ exceptions pass through the runtime's __cxa_throw, which finds the
  # real one only if the C++ library was loaded when the runtime started.
  execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -print-file-name=libstdc++.so
                  OUTPUT_VARIABLE kelto_stdcxx_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(IS_ABSOLUTE "${kelto_asan_runtime}" AND EXISTS "${kelto_asan_runtime}" AND
     IS_ABSOLUTE "${kelto_stdcxx_runtime}" AND EXISTS "${kelto_stdcxx_runtime}")
    set(KELTO_ASAN_RUNTIME "${kelto_asan_runtime}")
    set(KELTO_STDCXX_RUNTIME "${kelto_stdcxx_runtime}")
    # The interpreter's own memory is never freed at exit by design, so
    # leaks are not looked for in it (the C++ tests look for them in the
    # same code).
    set(KELTO_PYTHON_UNDER_ASAN_ENV
        "LD_PRELOAD=${KELTO_ASAN_RUNTIME} ${KELTO_STDCXX_RUNTIME}"
        "ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=0:strict_string_checks=1")
  endif()
endif()
