# The contract suite: one set of cases, run against the fake (every preset)
# and, on the Windows side, against the real system under Wine.
#
#   contract_tests_fake   the cases on the fake's world
#   contract_tests_win32  the same cases on real files, pipes and processes in
#                         a scratch directory under %TEMP%; needs
#                         contract_child next to it and nothing of the build
#                         tree, so it can be copied and run elsewhere. Its
#                         RealConsole cases need a console: run elsewhere
#                         without one, pass --gtest_filter=-RealConsole.*

set(CONTRACT_DIR ${CMAKE_CURRENT_LIST_DIR})
set(CONTRACT_CASES
  ${CONTRACT_DIR}/buffers_contract.cpp
  ${CONTRACT_DIR}/paths_contract.cpp
  ${CONTRACT_DIR}/text_contract.cpp
  ${CONTRACT_DIR}/messages_contract.cpp
  ${CONTRACT_DIR}/byte_io_contract.cpp
  ${CONTRACT_DIR}/processes_contract.cpp
  ${CONTRACT_DIR}/console_contract.cpp
  ${CONTRACT_DIR}/real_console_contract.cpp
  ${CONTRACT_DIR}/no_console.cpp
  ${CONTRACT_DIR}/world.cpp)

add_executable(contract_tests_fake ${CONTRACT_CASES} ${CONTRACT_DIR}/fake_world.cpp)
target_link_libraries(contract_tests_fake PRIVATE wr_runtime_test wr_fake gtest_main)
winrepair_test_program(contract_tests_fake)
if(NOT WIN32)
  add_test(NAME contract_tests_fake COMMAND contract_tests_fake --gtest_brief=1)
  return()
endif()
target_link_options(contract_tests_fake PRIVATE -static)
