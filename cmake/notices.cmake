# Third-party notices made from what is really linked (scripts/
# third_party_notices.py): each program that ships writes link maps, and
#   winrepair_link_map(<target> [MAP <file>])   makes <target> write them;
#   winrepair_notices(<output> PACKAGES_JSON <json> TITLE <text>
#                     [NOTE <text>]
#                     PROGRAMS <target>...)      writes the notices of those
#                                                programs (with NOTE as a
#                                                paragraph below the
#                                                introduction), and the
#                                                packages as JSON for the
#                                                bill of materials;
#   winrepair_link_inputs()                      at the end of the top-level
#                                                list, once every library is
#                                                defined.
# GNU ld's map names every archive member with its archive. lld's own map
# does not (lld 14 gives the member alone), so lld also writes a
# link.exe-style map beside it, whose symbol tables say "archive:member".

function(winrepair_link_map target)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "MAP" "")
  if(NOT ARG_MAP)
    set(ARG_MAP ${CMAKE_BINARY_DIR}/maps/${target}.map)
    target_link_options(${target} PRIVATE "-Wl,-Map,${ARG_MAP}")
  endif()
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    string(REGEX REPLACE "\\.map$" ".msvc.map" msvc_map ${ARG_MAP})
    target_link_options(${target} PRIVATE "-Wl,-Xlink=/map:${msvc_map}")
  endif()
  set_target_properties(${target} PROPERTIES WINREPAIR_LINK_MAP ${ARG_MAP})
endfunction()
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/maps)

# The generator reads Debian's copyright files with python3-debian.
include(${CMAKE_SOURCE_DIR}/cmake/python_with.cmake)
winrepair_python_with(DEBIAN_PYTHON debian.copyright python3-debian)
set(NOTICES_SCRIPTS
  ${CMAKE_SOURCE_DIR}/scripts/release/third_party_notices.py ${CMAKE_SOURCE_DIR}/scripts/release/dep5_notice.py
  ${CMAKE_SOURCE_DIR}/scripts/release/member_sources.py ${CMAKE_SOURCE_DIR}/scripts/release/windows_text.py)

# Every static library the build makes, in this directory and below.
function(winrepair_static_libraries directory out)
  set(found)
  get_property(targets DIRECTORY ${directory} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "STATIC_LIBRARY")
      list(APPEND found ${target})
    endif()
  endforeach()
  get_property(subdirectories DIRECTORY ${directory} PROPERTY SUBDIRECTORIES)
  foreach(subdirectory IN LISTS subdirectories)
    winrepair_static_libraries(${subdirectory} below)
    list(APPEND found ${below})
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

# The build's own account of its link inputs: which archives are the
# project's, which are built from a package's sources (one source file stands
# for them: its package is the archive's), and where the linker looks for the
# rest. Written by winrepair_link_inputs() at the end of the top-level list,
# once every library is defined.
set(WINREPAIR_LINK_INPUTS ${CMAKE_BINARY_DIR}/link-inputs.txt)
function(winrepair_link_inputs)
  set(out ${WINREPAIR_LINK_INPUTS})
  set(lines)
  winrepair_static_libraries(${CMAKE_SOURCE_DIR} libraries)
  foreach(library IN LISTS libraries)
    get_target_property(source_dir ${library} SOURCE_DIR)
    cmake_path(IS_PREFIX CMAKE_SOURCE_DIR "${source_dir}" NORMALIZE own)
    if(own)
      set(origin project)
    else()
      get_target_property(sources ${library} SOURCES)
      list(GET sources 0 first)
      cmake_path(ABSOLUTE_PATH first BASE_DIRECTORY ${source_dir} NORMALIZE OUTPUT_VARIABLE origin)
    endif()
    list(APPEND lines "archive\t$<TARGET_FILE:${library}>\t${origin}")
  endforeach()
  foreach(directory IN LISTS CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES)
    list(APPEND lines "library-dir\t${directory}")
  endforeach()
  list(APPEND lines "own-dir\t${CMAKE_BINARY_DIR}" "own-dir\t${CMAKE_SOURCE_DIR}")
  list(JOIN lines "\n" text)
  file(GENERATE OUTPUT ${out} CONTENT "${text}\n")
endfunction()

function(winrepair_notices output)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "PACKAGES_JSON;TITLE;NOTE" "PROGRAMS")
  set(inputs ${WINREPAIR_LINK_INPUTS})
  set(programs)
  foreach(target IN LISTS ARG_PROGRAMS)
    get_target_property(map ${target} WINREPAIR_LINK_MAP)
    if(NOT map)
      message(FATAL_ERROR "${target} writes no link map: call winrepair_link_map(${target})")
    endif()
    list(APPEND programs --program "$<TARGET_FILE_NAME:${target}>=${map}")
  endforeach()
  set(note)
  if(ARG_NOTE)
    set(note --note ${ARG_NOTE})
  endif()
  add_custom_command(
    OUTPUT ${output} ${ARG_PACKAGES_JSON}
    COMMAND ${DEBIAN_PYTHON} ${CMAKE_SOURCE_DIR}/scripts/release/third_party_notices.py
            ${programs}
            --inputs ${inputs}
            --base-dir ${CMAKE_BINARY_DIR}
            --license ${CMAKE_SOURCE_DIR}/LICENSE
            --title ${ARG_TITLE}
            --output ${output}
            --packages-json ${ARG_PACKAGES_JSON}
            ${note}
    DEPENDS ${ARG_PROGRAMS} ${inputs} ${NOTICES_SCRIPTS} ${CMAKE_SOURCE_DIR}/LICENSE
    COMMENT "Third-party notices: ${ARG_TITLE}"
    VERBATIM)
endfunction()
