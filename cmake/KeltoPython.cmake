# kelto_python_imports(<result> "<modules>"): finds a Python 3 interpreter
# and sets <result> to whether it imports <modules> (an import list, such as
# "pytest, h5py"). A test folder calls it for the modules its tests need. A
# macro, so that the interpreter found (Python3_EXECUTABLE) stays visible to
# the caller.
macro(kelto_python_imports result modules)
  find_package(Python3 COMPONENTS Interpreter)
  set(${result} FALSE)
  if(Python3_Interpreter_FOUND)
    execute_process(COMMAND "${Python3_EXECUTABLE}" -c "import ${modules}"
                    RESULT_VARIABLE kelto_python_import_status OUTPUT_QUIET ERROR_QUIET)
    if(kelto_python_import_status EQUAL 0)
      set(${result} TRUE)
    endif()
  endif()
endmacro()
