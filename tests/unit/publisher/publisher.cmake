# The publisher tests compare against the committed text itself, handed over
# as a list of byte values so that no character needs quoting.
set(publisher_text_file ${CMAKE_SOURCE_DIR}/publisher/publisher.txt)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${publisher_text_file})
file(READ ${publisher_text_file} publisher_hex HEX)
# One trailing line end is not part of the text (the generator agrees).
string(REGEX REPLACE "(0d)?0a$" "" publisher_hex "${publisher_hex}")
string(REGEX REPLACE "(..)" "0x\\1," publisher_bytes "${publisher_hex}")
target_compile_definitions(unit_tests_publisher PRIVATE "WR_EXPECTED_PUBLISHER_BYTES=${publisher_bytes}")
