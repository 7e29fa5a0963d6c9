# Writes the product's C++ sources, as this build compiles them, to
# product_sources.txt in the build tree: one "target<TAB>absolute path" a
# line, for the product libraries and winrepair.exe. scripts/checks/tidy.sh checks
# that clang-tidy gets exactly these from the compile database.
set(_wr_product_targets)
foreach(sub IN LISTS SUBSYSTEMS)
  if(TARGET wr_${sub}_product)
    get_target_property(_wr_type wr_${sub}_product TYPE)
    if(NOT _wr_type STREQUAL "INTERFACE_LIBRARY")
      list(APPEND _wr_product_targets wr_${sub}_product)
    endif()
  endif()
endforeach()
list(APPEND _wr_product_targets winrepair)

set(_wr_lines)
foreach(target IN LISTS _wr_product_targets)
  set(cxx "$<FILTER:$<PATH:ABSOLUTE_PATH,NORMALIZE,$<TARGET_PROPERTY:${target},SOURCES>,${CMAKE_SOURCE_DIR}>,INCLUDE,\\.(cpp|cc|cxx)$>")
  string(APPEND _wr_lines "$<$<BOOL:${cxx}>:${target}\t$<JOIN:${cxx},\n${target}\t>\n>")
endforeach()
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/product_sources.txt CONTENT "${_wr_lines}")
