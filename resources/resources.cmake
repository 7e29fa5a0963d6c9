# Builds the inputs of winrepair.rc. Included right before the executable is
# defined, so everything here hangs on the .rc source itself.
#
# The icon is drawn in winrepair.svg and rendered at every size, each kept as
# a PNG inside the .ico (Windows reads PNG icon images from Vista on, at any
# size); an uncompressed 32-bit bitmap would take several times the room.
# optipng then compresses each PNG again, losslessly, keeping it 32-bit RGBA
# (-nb -nc -np: no smaller colour type, bit depth or palette, which the icon
# loaders of older windows may not take): a sixth of the icon's bytes, room
# the signed file needs under its size limit.
winrepair_require_program(RSVG_CONVERT rsvg-convert librsvg2-bin)
winrepair_require_program(ICOTOOL icotool icoutils)
winrepair_require_program(OPTIPNG optipng optipng)
set(WINREPAIR_ICON_SIZES 16 24 32 48 64 96 128)
set(WINREPAIR_ICON_SVG ${CMAKE_SOURCE_DIR}/resources/winrepair.svg)
set(WINREPAIR_ICON ${GENERATED_DIR}/winrepair.ico)
set(icon_render_commands)
set(icon_pngs)
foreach(size IN LISTS WINREPAIR_ICON_SIZES)
  set(png ${GENERATED_DIR}/icon/winrepair-${size}.png)
  list(APPEND icon_render_commands
    COMMAND ${RSVG_CONVERT} --width ${size} --height ${size} --format png --output ${png} ${WINREPAIR_ICON_SVG}
    COMMAND ${OPTIPNG} -quiet -o2 -nb -nc -np -strip all ${png})
  list(APPEND icon_pngs --raw=${png})
endforeach()
add_custom_command(
  OUTPUT ${WINREPAIR_ICON}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${GENERATED_DIR}/icon
  ${icon_render_commands}
  COMMAND ${ICOTOOL} --create --output ${WINREPAIR_ICON} ${icon_pngs}
  DEPENDS ${WINREPAIR_ICON_SVG}
  COMMENT "Rendering the application icon"
  VERBATIM)

# The version resource and the manifest take the project's version; Windows
# wants four numbers where the project names three.
set(WINREPAIR_VERSION_QUAD ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0)
if(PROJECT_VERSION_TWEAK)
  set(WINREPAIR_VERSION_QUAD ${PROJECT_VERSION})
endif()
string(REPLACE "." "," WINREPAIR_VERSION_NUMBERS ${WINREPAIR_VERSION_QUAD})
# The copyright shown in the file's properties says what LICENSE says: its
# copyright line and the licence's name, its first line.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/LICENSE)
file(STRINGS ${CMAKE_SOURCE_DIR}/LICENSE license_name LIMIT_COUNT 1)
file(STRINGS ${CMAKE_SOURCE_DIR}/LICENSE license_copyright REGEX "^Copyright " LIMIT_COUNT 1)
if(NOT license_name OR NOT license_copyright)
  message(FATAL_ERROR "LICENSE has no licence name on its first line or no 'Copyright ...' line")
endif()
# The publisher named in the file's properties is the one the window shows:
# publisher/publisher.txt holds it for both (the program's copies are
# scrambled from it at build time).
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/publisher/publisher.txt)
file(STRINGS ${CMAKE_SOURCE_DIR}/publisher/publisher.txt WINREPAIR_PUBLISHER_TEXT LIMIT_COUNT 1)
if(NOT WINREPAIR_PUBLISHER_TEXT MATCHES "^[ -~]+$" OR WINREPAIR_PUBLISHER_TEXT MATCHES "[\"\\]")
  message(FATAL_ERROR "publisher/publisher.txt: the first line must be printable ASCII without quotes or backslashes")
endif()
file(CONFIGURE OUTPUT ${GENERATED_DIR}/winrepair_version.h CONTENT
"#define WINREPAIR_VERSION_NUMBERS ${WINREPAIR_VERSION_NUMBERS}
#define WINREPAIR_VERSION_TEXT \"${PROJECT_VERSION}\"
#define WINREPAIR_LEGAL_COPYRIGHT \"${license_copyright}. ${license_name}\"
#define WINREPAIR_PUBLISHER \"${WINREPAIR_PUBLISHER_TEXT}\"
#define WINREPAIR_PRODUCT_NAME \"${WINREPAIR_PUBLISHER_TEXT} windows repair\"
")
configure_file(${CMAKE_SOURCE_DIR}/resources/winrepair.manifest.in ${GENERATED_DIR}/winrepair.manifest @ONLY)

# windres looks for the files an .rc names in its include directories.
set_source_files_properties(${CMAKE_SOURCE_DIR}/resources/winrepair.rc PROPERTIES
  INCLUDE_DIRECTORIES "${GENERATED_DIR};${CMAKE_SOURCE_DIR}/resources"
  OBJECT_DEPENDS "${WINREPAIR_ICON};${GENERATED_DIR}/winrepair.manifest;${GENERATED_DIR}/winrepair_version.h")
