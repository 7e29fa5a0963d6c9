# Checks of what the program shows, in the host tree (no Wine).

# Every quote of the program's screen in the guides is what the program
# prints: print_screens runs the repair on the fake for each way a run ends
# and prints what it shows.
add_executable(print_screens ${CMAKE_CURRENT_LIST_DIR}/quotes/print_screens.cpp)
target_link_libraries(print_screens PRIVATE wr_driver_test wr_fake)
set(GUIDES --page ${CMAKE_SOURCE_DIR}/README.ru.md --page ${CMAKE_SOURCE_DIR}/README.md)
add_test(NAME guide_screen_quotes
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/quotes/check_screen_quotes.py
          --screens-program $<TARGET_FILE:print_screens> ${GUIDES})
add_test(NAME guide_screen_quotes_selftest
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/quotes/screen_quotes_test.py
          --screens-program $<TARGET_FILE:print_screens> ${GUIDES})
set_tests_properties(guide_screen_quotes guide_screen_quotes_selftest PROPERTIES
  ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)

# The places that name the publisher and cannot be generated from
# publisher/publisher.txt (the kit's guide for testers, the pictures' alt
# texts) held to it, and that check's own cases.
add_test(NAME publisher_places
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check_publisher_places.py)
add_test(NAME publisher_places_selftest
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/publisher_places_test.py)
set_tests_properties(publisher_places publisher_places_selftest PROPERTIES ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
