# Checks on the built executable. None of them runs it, so none needs Wine.

# They read it with pefile (Debian's python3-pefile).
include(${CMAKE_SOURCE_DIR}/cmake/python_with.cmake)
winrepair_python_with(PEFILE_PYTHON pefile python3-pefile)
set(exe_check_args
  --exe $<TARGET_FILE:winrepair>
  --publisher-text-file ${CMAKE_SOURCE_DIR}/publisher/publisher.txt
  --web-address ${WINREPAIR_PUBLISHER_TEXT}
  --version ${PROJECT_VERSION}
  --license ${CMAKE_SOURCE_DIR}/LICENSE)

add_test(NAME resources_exe_check
  COMMAND ${PEFILE_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/check_exe.py ${exe_check_args})
add_test(NAME resources_exe_check_catches_damage
  COMMAND ${PEFILE_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/check_exe_selftest.py ${exe_check_args})

# One complete configure-and-build run of the release, compared with this
# tree's: slow, and heavy on the machine.
add_test(NAME resources_reproducible_build
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check_reproducible.py
          --source ${CMAKE_SOURCE_DIR}
          --build-tree ${CMAKE_BINARY_DIR}
          --generator ${CMAKE_GENERATOR}
          --toolchain ${CMAKE_TOOLCHAIN_FILE}
          --make-program ${CMAKE_MAKE_PROGRAM}
          --target release
          --made-from winrepair.exe
          --output winrepair.exe
          --output dist/winrepair.exe
          --output dist/LICENSE
          --output dist/THIRD-PARTY-NOTICES.txt
          --output dist/winrepair.cdx.json
          --output dist/SHA256SUMS)
set_tests_properties(resources_reproducible_build PROPERTIES TIMEOUT 1800 COST 200 LABELS slow)
# The checkers import each other; keep bytecode caches out of the source tree.
set_tests_properties(resources_exe_check resources_exe_check_catches_damage resources_reproducible_build
  PROPERTIES ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)

# The product links no exception runtime and no iostream, runs nothing of its
# own before main and keeps its stage table read-only.
add_test(NAME product_link_map_check
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check_link_map.py ${CMAKE_BINARY_DIR}/winrepair.map)
add_test(NAME product_link_map_check_catches_damage
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check_link_map_selftest.py ${CMAKE_BINARY_DIR}/winrepair.map)
set_tests_properties(product_link_map_check product_link_map_check_catches_damage
  PROPERTIES ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)

# A program built like the product but calling a throwing substr: the check
# must find it in the map this linker writes (GNU ld's or lld's).
add_executable(link_map_probe ${CMAKE_CURRENT_LIST_DIR}/link_map_probe.cpp)
target_compile_options(link_map_probe PRIVATE ${PRODUCT_FLAGS})
target_link_options(link_map_probe PRIVATE -static "-Wl,-Map,${CMAKE_BINARY_DIR}/link_map_probe.map")
winrepair_link_map(link_map_probe MAP ${CMAKE_BINARY_DIR}/link_map_probe.map)
add_test(NAME product_link_map_check_catches_throw
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check_link_map.py
          --expect-linked functexcept.o ${CMAKE_BINARY_DIR}/link_map_probe.map)
set_tests_properties(product_link_map_check_catches_throw PROPERTIES ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
