# End-to-end runs of the real program, driven from the Windows side under
# Wine, and the stand-ins that take the servicing tools' place there.
#
#   standin          copied beside the program as DISM.exe / sfc.exe
#   e2e_tests        starts winrepair.exe with chosen handles, console,
#                    environment and current directory; checks its bytes
#   e2e_launch_tests the launcher on the real system: batch scripts, the
#                    quoting round trip through CommandLineToArgvW, exit codes
#                    above 0x7FFFFFFF, handles after a failed start

set(E2E_DIR ${CMAKE_CURRENT_LIST_DIR})

add_executable(standin ${CMAKE_SOURCE_DIR}/tests/tools/standin.cpp)
target_compile_options(standin PRIVATE ${TEST_CODE_FLAGS})
target_link_options(standin PRIVATE -static)
set_target_properties(standin PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# The test programs find the program and the tools beside themselves (here
# and in the test kit), so all of them share one output folder.
# Ends itself through the real fatal stop or fail-fast, for frame_test.cpp.
add_executable(fatal_probe ${E2E_DIR}/fatal/fatal_probe.cpp ${PLATFORM_WIN32_SOURCES})
target_compile_options(fatal_probe PRIVATE ${PRODUCT_FLAGS})
target_link_libraries(fatal_probe PRIVATE wr_console_product ntdll)
target_link_options(fatal_probe PRIVATE -static)
set_target_properties(fatal_probe PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
kit_companion(standin fatal_probe)

winrepair_sources(E2E_SOURCES ${E2E_DIR}/*.cpp)
add_executable(e2e_tests ${E2E_SOURCES})
target_include_directories(e2e_tests PRIVATE ${CMAKE_SOURCE_DIR} ${GENERATED_DIR})
add_dependencies(e2e_tests expected_screens)
target_link_libraries(e2e_tests PRIVATE gtest_main)
winrepair_test_program(e2e_tests)
target_link_options(e2e_tests PRIVATE -static)
set_target_properties(e2e_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
add_dependencies(e2e_tests winrepair standin fatal_probe)
# Its cases mostly wait for the programs they start, so they run as shards
# side by side; GoogleTest puts every case in exactly one shard.
set(E2E_SHARDS 4)
math(EXPR last_shard "${E2E_SHARDS} - 1")
foreach(shard RANGE ${last_shard})
  wine_test(e2e_tests_${shard} COMMAND e2e_tests --gtest_brief=1)
  set_property(TEST e2e_tests_${shard} APPEND PROPERTY ENVIRONMENT
    GTEST_TOTAL_SHARDS=${E2E_SHARDS} GTEST_SHARD_INDEX=${shard})
  set_tests_properties(e2e_tests_${shard} PROPERTIES TIMEOUT 900 COST 50)
endforeach()
kit_test(e2e_tests CTEST e2e_tests_0 e2e_tests_1 e2e_tests_2 e2e_tests_3)

winrepair_sources(E2E_LAUNCH_SOURCES ${E2E_DIR}/launch/*.cpp)
add_executable(e2e_launch_tests ${E2E_LAUNCH_SOURCES} ${E2E_DIR}/support.cpp)
target_include_directories(e2e_launch_tests PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(e2e_launch_tests PRIVATE wr_launch_test wr_platform_win32_test gtest_main shell32 ntdll)
winrepair_test_program(e2e_launch_tests)
target_link_options(e2e_launch_tests PRIVATE -static)
set_target_properties(e2e_launch_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
add_dependencies(e2e_launch_tests standin)
wine_test(e2e_launch_tests COMMAND e2e_launch_tests --gtest_brief=1)
set_tests_properties(e2e_launch_tests PROPERTIES TIMEOUT 600)
kit_test(e2e_launch_tests CTEST e2e_launch_tests)
