# Property fuzzing (see docs/testing.md): the properties as a library, the replay of
# committed inputs as a unit test, and with WINREPAIR_FUZZ one libFuzzer
# program per target.
winrepair_sources(FUZZ_PROPERTY_SOURCES ${CMAKE_SOURCE_DIR}/tests/fuzz/*_property.cpp)
add_library(wr_fuzz_properties STATIC ${FUZZ_PROPERTY_SOURCES})
target_link_libraries(wr_fuzz_properties PUBLIC wr_console_test wr_launch_test wr_fake)
# Compiled as one source, as the test programs are (see CMakeLists.txt): each
# fuzz target then carries every property's code, of which it runs its own.
set_target_properties(wr_fuzz_properties PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 0)
# Its helpers share names with the command line's, meaning other things.
set_source_files_properties(${CMAKE_SOURCE_DIR}/tests/fuzz/search_path_property.cpp
  PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)

if(WINREPAIR_FUZZ)
  set(FUZZ_TARGETS)
  foreach(pair console_output:CheckConsoleOutput command_line:CheckCommandLine search_path:CheckSearchPath
               error_text:CheckErrorText console_input:CheckConsoleInput)
    string(REPLACE ":" ";" pair "${pair}")
    list(GET pair 0 name)
    list(GET pair 1 property)
    add_executable(fuzz_${name} ${CMAKE_SOURCE_DIR}/tests/fuzz/fuzz_entry.cpp)
    target_compile_definitions(fuzz_${name} PRIVATE FUZZ_PROPERTY=${property})
    target_link_libraries(fuzz_${name} PRIVATE wr_fuzz_properties)
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
    list(APPEND FUZZ_TARGETS fuzz_${name})
  endforeach()
  add_custom_target(fuzzers DEPENDS ${FUZZ_TARGETS})
  # The one list scripts/dev/fuzz.sh runs and checks against the seed folders,
  # so a target added here but not fuzzed (or the reverse) fails loudly.
  string(REPLACE ";" "\n" FUZZ_TARGET_LINES "${FUZZ_TARGETS}")
  file(WRITE ${CMAKE_BINARY_DIR}/fuzz_targets.txt "${FUZZ_TARGET_LINES}\n")
else()
  add_executable(fuzz_replay_tests ${CMAKE_SOURCE_DIR}/tests/fuzz/replay_test.cpp)
  target_compile_definitions(fuzz_replay_tests PRIVATE WINREPAIR_FUZZ_INPUTS="${CMAKE_SOURCE_DIR}/tests/fuzz")
  target_link_libraries(fuzz_replay_tests PRIVATE wr_fuzz_properties gtest_main)
  winrepair_test_program(fuzz_replay_tests)
  add_test(NAME fuzz_replay_tests COMMAND fuzz_replay_tests --gtest_brief=1)
endif()
