# The pages of the repository. In the host tree (no Wine): the check of
# CONTRIBUTING.md's test names against pages made up for it, and that every
# file or folder of the repository a page names exists (the guides' quotes
# of the screen are held to the program in tests/screens/screens.cmake). In
# the Windows trees: that every test CONTRIBUTING.md names exists, read from
# ctest's listing of this tree and of the host tree, the test programs' own
# lists of their GoogleTest cases (run under Wine, as CTest runs them) and
# the console driver's cases. The links of every page are checked by
# scripts/checks/check_links.sh, a phase of scripts/test.sh.

if(NOT WIN32)
  add_test(NAME contributing_names_selftest
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/contributing_names_test.py)
  # Every repository path a page names exists, and the check itself.
  add_test(NAME page_paths
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check_page_paths.py --root ${CMAKE_SOURCE_DIR})
  add_test(NAME page_paths_selftest
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/page_paths_test.py)
  set_tests_properties(contributing_names_selftest page_paths page_paths_selftest
    PROPERTIES ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
  return()
endif()

# The host tree of the presets; another one is named at configure time.
set(WINREPAIR_HOST_TREE ${CMAKE_SOURCE_DIR}/build/host CACHE PATH
  "host build tree whose CTest entries CONTRIBUTING.md may name")
wine_test(contributing_names
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check_contributing_names.py
          --page ${CMAKE_SOURCE_DIR}/CONTRIBUTING.md
          --tree ${CMAKE_BINARY_DIR}
          --host-tree ${WINREPAIR_HOST_TREE}
          --console-driver ${CMAKE_SOURCE_DIR}/tests/screens/console/run_console_tests.py
          --test-script ${CMAKE_SOURCE_DIR}/scripts/test.sh
          --fuzz-corpus ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus)
set_tests_properties(contributing_names PROPERTIES
  ENVIRONMENT "${WINE_ENV};PYTHONDONTWRITEBYTECODE=1" TIMEOUT 600)
