# winrepair_python_with(<variable> <module> <package>): sets <variable> to a
# Python interpreter that imports <module>. Debian's own modules (pefile,
# debian.copyright, yaml) are seen only by Debian's interpreter, which may
# not be the python3 that comes first on PATH; a missing one stops the
# configure with the package to install.
include_guard(GLOBAL)
include(${CMAKE_CURRENT_LIST_DIR}/require_program.cmake)

function(winrepair_python_with variable module package)
  foreach(candidate IN ITEMS ${Python3_EXECUTABLE} /usr/bin/python3)
    execute_process(COMMAND ${candidate} -c "import ${module}" RESULT_VARIABLE missing OUTPUT_QUIET ERROR_QUIET)
    if(NOT missing)
      set(${variable} ${candidate} PARENT_SCOPE)
      return()
    endif()
  endforeach()
  winrepair_missing("Python module ${module}" ${package})
endfunction()
