# Builds the inputs of winrepair.rc. Included right before the executable is
# defined, so everything here hangs on the .rc source itself.
set(WINREPAIR_ICON ${GENERATED_DIR}/winrepair.ico)
add_custom_command(
  OUTPUT ${WINREPAIR_ICON}
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/resources/make_icon.py
          --design ${CMAKE_SOURCE_DIR}/resources/icon.json
          --output ${WINREPAIR_ICON}
  DEPENDS ${CMAKE_SOURCE_DIR}/resources/make_icon.py ${CMAKE_SOURCE_DIR}/resources/icon.json
  COMMENT "Drawing the application icon")

# windres looks for the files an .rc names in its include directories.
set_source_files_properties(${CMAKE_SOURCE_DIR}/resources/winrepair.rc PROPERTIES
  INCLUDE_DIRECTORIES "${GENERATED_DIR};${CMAKE_SOURCE_DIR}/resources"
  OBJECT_DEPENDS "${WINREPAIR_ICON};${CMAKE_SOURCE_DIR}/resources/winrepair.manifest")
