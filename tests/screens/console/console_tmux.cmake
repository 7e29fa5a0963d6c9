# The program on a real console: Wine inside a tmux pane, the screen read
# back with capture-pane. Included from the Windows part of the build, after
# the end-to-end tests that define the `standin` tool.
winrepair_require_program(TMUX_PROGRAM tmux tmux)

add_executable(console_slow_tool ${CMAKE_CURRENT_LIST_DIR}/slow_tool.cpp)
target_compile_options(console_slow_tool PRIVATE ${TEST_CODE_FLAGS})
target_link_options(console_slow_tool PRIVATE -static)

# Starts the program with its console refusing virtual-terminal mode.
add_executable(console_no_vt ${CMAKE_CURRENT_LIST_DIR}/no_vt_console.cpp)
target_compile_options(console_no_vt PRIVATE ${TEST_CODE_FLAGS})
target_link_options(console_no_vt PRIVATE -static)

set(CONSOLE_TMUX_CASES
  success dism_fails dism_restart_to_finish dism_disk_errors sfc_reinstall sfc_tool_failed sfc_missing ctrl_z title
  title_term title_no_vt type_ahead wrong_screen_fails_fast)

foreach(case IN LISTS CONSOLE_TMUX_CASES)
  # A plain path, not the imported interpreter target: CMake would put the
  # cross-compiling emulator in front of an executable target.
  wine_test(console_tmux_${case}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/run_console_tests.py
            --winrepair $<TARGET_FILE:winrepair>
            --standin $<TARGET_FILE:standin>
            --slow-tool $<TARGET_FILE:console_slow_tool>
            --no-vt-console $<TARGET_FILE:console_no_vt>
            ${case})
  # One pane at a time: the cases time key presses against what Wine shows,
  # and two Wine programs starting together on a small machine blur that.
  # Together they are the longest chain of a Windows tree's tests, so under
  # `ctest -j` they go first (a higher COST starts earlier).
  set_tests_properties(console_tmux_${case} PROPERTIES
    TIMEOUT 240
    RESOURCE_LOCK console_tmux
    COST 100
    LABELS console_tmux)
endforeach()
# The one test that may end skipped (status 77, see docs/testing.md): when
# Wine does not hold the early Enter in the console's input buffer, the case
# cannot show the program's own wait, and says so rather than passing.
set_tests_properties(console_tmux_type_ahead PROPERTIES SKIP_RETURN_CODE 77)
