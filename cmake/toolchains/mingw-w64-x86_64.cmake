# Cross-compiles kelto for 64-bit Windows with Debian's mingw-w64 (the posix
# thread model of g++-mingw-w64-x86-64-posix, which std::thread and
# std::mutex need). Programs built with it run under Wine through ctest.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KELTO_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KELTO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELTO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KELTO_MINGW_TRIPLET}-windres)
set(CMAKE_AR ${KELTO_MINGW_TRIPLET}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${KELTO_MINGW_TRIPLET}-gcc-ranlib-posix CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${KELTO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program and the DLL carry the compiler's runtime inside them
# (libstdc++, libgcc, winpthreads), so nothing but Windows' own DLLs and the
# C runtime has to sit beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Test programs run under Wine; WINEDEBUG and WINEPREFIX come from the caller.
find_program(KELTO_WINE NAMES wine wine64)
if(KELTO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KELTO_WINE})
endif()
