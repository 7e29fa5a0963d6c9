# The pictures of the program's window in docs/screenshots/. In the host tree
# (no Wine): the renderer, and that the committed pictures are whole and shown
# in the READMEs (README.md and README.ru.md together). In the Windows trees:
# that each picture still shows what the program's window shows, from the
# program run on Wine's console in tmux.

if(NOT WIN32)
  add_test(NAME screenshots_renderer
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/pictures_test.py)
  add_test(NAME screenshots_committed
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check_pictures.py
            --pictures ${CMAKE_SOURCE_DIR}/docs/screenshots
            --readme ${CMAKE_SOURCE_DIR}/README.md --readme ${CMAKE_SOURCE_DIR}/README.ru.md)
  return()
endif()

winrepair_require_program(TMUX_PROGRAM tmux tmux)
wine_test(screenshots_current
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/take_screenshots.py
          --winrepair $<TARGET_FILE:winrepair>
          --standin $<TARGET_FILE:standin>
          --check ${CMAKE_SOURCE_DIR}/docs/screenshots)
# A tmux pane like the console cases, so one at a time with them.
set_tests_properties(screenshots_current PROPERTIES
  TIMEOUT 240
  RESOURCE_LOCK console_tmux
  COST 100
  LABELS console_tmux)
