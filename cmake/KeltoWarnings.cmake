# The warnings we want from the compiler, for the targets that are our own
# code. Each flag is probed, so a compiler that lacks one still builds.
# -Wnull-dereference is left out: with optimisation g++ 12 reports it inside
# the standard library's own headers.
#
# Warnings are errors only when KELTO_WERROR is on: our CI and developer
# scripts turn it on, so a new warning stops us; a user's or packager's build
# with another compiler or other flags must not fail on a warning we never saw.
include(CheckCXXCompilerFlag)
include(CheckCCompilerFlag)

option(KELTO_WERROR "Treat compiler warnings as errors (on in kelto's own CI and scripts)" OFF)

set(KELTO_WARNING_CANDIDATES
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
    -Wcast-align -Wformat=2 -Wdouble-promotion -Wundef
    -Wmissing-declarations -Wvla)
if(KELTO_WERROR)
  list(APPEND KELTO_WARNING_CANDIDATES -Werror)
endif()

set(KELTO_CXX_WARNINGS "")
set(KELTO_C_WARNINGS "")
foreach(flag IN LISTS KELTO_WARNING_CANDIDATES)
  string(MAKE_C_IDENTIFIER "KELTO_HAS_CXX${flag}" cxx_var)
  check_cxx_compiler_flag(${flag} ${cxx_var})
  if(${cxx_var})
    list(APPEND KELTO_CXX_WARNINGS ${flag})
  endif()
  string(MAKE_C_IDENTIFIER "KELTO_HAS_C${flag}" c_var)
  check_c_compiler_flag(${flag} ${c_var})
  if(${c_var})
    list(APPEND KELTO_C_WARNINGS ${flag})
  endif()
endforeach()

# kelto_warnings(target): our warning flags for the target's C and C++ sources.
function(kelto_warnings target)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:${KELTO_CXX_WARNINGS}>
    $<$<COMPILE_LANGUAGE:C>:${KELTO_C_WARNINGS}>)
endfunction()
