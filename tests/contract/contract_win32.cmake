# The Windows side of the contract suite (see contract.cmake); included
# after wine_test and PLATFORM_WIN32_SOURCES are defined.

wine_test(contract_tests_fake_wine COMMAND contract_tests_fake --gtest_brief=1)

add_executable(contract_child ${CONTRACT_DIR}/child-win32.cpp ${CONTRACT_DIR}/no_console.cpp
               ${PLATFORM_WIN32_SOURCES})
target_link_libraries(contract_child PRIVATE wr_runtime_test ntdll)
target_link_options(contract_child PRIVATE -static)

add_executable(contract_tests_win32 ${CONTRACT_CASES} ${CONTRACT_DIR}/world-win32.cpp)
target_link_libraries(contract_tests_win32 PRIVATE wr_platform_win32_test gtest_main)
winrepair_test_program(contract_tests_win32)
# The cases are built together as one source; the world that runs them on
# the real system sees <windows.h>, whose macros the cases must not.
set_source_files_properties(${CONTRACT_DIR}/world-win32.cpp PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
target_link_options(contract_tests_win32 PRIVATE -static)
add_dependencies(contract_tests_win32 contract_child)
# The RealConsole cases need a console: here they run in a tmux pane, where
# Wine gives one; everything else runs without.
wine_test(contract_tests_win32 COMMAND contract_tests_win32 --gtest_brief=1 --gtest_filter=-RealConsole.*)

winrepair_require_program(TMUX_PROGRAM tmux tmux)
wine_test(contract_tests_win32_console
  COMMAND ${Python3_EXECUTABLE} ${CONTRACT_DIR}/run_real_console.py --program $<TARGET_FILE:contract_tests_win32>)
set_tests_properties(contract_tests_win32_console PROPERTIES TIMEOUT 180 RESOURCE_LOCK console_tmux)
