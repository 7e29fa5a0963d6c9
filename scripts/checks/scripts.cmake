# Tests of the scripts around the build, run in the host tree. The source
# checks' test runs the checkers themselves in git checkouts of its own.
winrepair_require_program(GIT_PROGRAM git git)
winrepair_require_program(SHELLCHECK_PROGRAM shellcheck shellcheck)
winrepair_require_program(FLAKE8_PROGRAM flake8 flake8)
winrepair_require_program(CLANG_FORMAT_PROGRAM clang-format-14 clang-format-14)
add_test(NAME tidy_sources
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/tidy_sources_test.py)
add_test(NAME source_checks
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/source_checks_test.py)
# A copy of the tree, configured as this tree was, with a part of it taken
# away at a time: the configure must stop and name it.
add_test(NAME configure_checks
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/configure_checks_test.py
          --generator ${CMAKE_GENERATOR} --make-program ${CMAKE_MAKE_PROGRAM}
          --c-compiler ${CMAKE_C_COMPILER} --cxx-compiler ${CMAKE_CXX_COMPILER})
set_tests_properties(configure_checks PROPERTIES TIMEOUT 300)
add_test(NAME compile_alone_selftest
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/compile_alone_test.py)
