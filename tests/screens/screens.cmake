# The places that name the publisher and cannot be generated from
# publisher/publisher.txt (the kit's guide for testers, the pictures' alt
# texts) held to it, and that check's own cases. In the host tree.
add_test(NAME publisher_places
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check_publisher_places.py)
add_test(NAME publisher_places_selftest
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/publisher_places_test.py)
set_tests_properties(publisher_places publisher_places_selftest PROPERTIES ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
