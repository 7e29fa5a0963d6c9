# The Windows side of the contract suite (see contract.cmake); included
# after wine_test and PLATFORM_WIN32_SOURCES are defined.

wine_test(contract_tests_fake_wine COMMAND contract_tests_fake --gtest_brief=1)

add_executable(contract_child ${CONTRACT_DIR}/child-win32.cpp ${CONTRACT_DIR}/no_console.cpp
               ${PLATFORM_WIN32_SOURCES})
target_link_libraries(contract_child PRIVATE wr_runtime_test ntdll)
target_link_options(contract_child PRIVATE -static)

add_executable(contract_tests_win32 ${CONTRACT_CASES} ${CONTRACT_DIR}/world-win32.cpp ${PLATFORM_WIN32_SOURCES})
target_link_libraries(contract_tests_win32 PRIVATE wr_runtime_test gtest_main ntdll)
target_link_options(contract_tests_win32 PRIVATE -static)
add_dependencies(contract_tests_win32 contract_child)
wine_test(contract_tests_win32 COMMAND contract_tests_win32 --gtest_brief=1)
