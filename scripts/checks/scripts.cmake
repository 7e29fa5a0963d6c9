# Tests of the scripts around the build, run in the host tree.
add_test(NAME tidy_sources
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/tidy_sources_test.py)
add_test(NAME source_checks
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/source_checks_test.py)
