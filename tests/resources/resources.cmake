# Checks on the built executable. None of them runs it, so none needs Wine.
set(WINREPAIR_WEB_ADDRESS "cubeshot.example")
set(exe_check_args
  --exe $<TARGET_FILE:winrepair>
  --publisher-text-file ${CMAKE_SOURCE_DIR}/publisher/publisher.txt
  --web-address ${WINREPAIR_WEB_ADDRESS})

add_test(NAME resources_exe_check
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check_exe.py ${exe_check_args})
add_test(NAME resources_exe_check_catches_damage
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check_exe_selftest.py ${exe_check_args})

# Two complete configure-and-build runs: slow, and heavy on the machine.
add_test(NAME resources_reproducible_build
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check_reproducible.py
          --source ${CMAKE_SOURCE_DIR}
          --generator ${CMAKE_GENERATOR}
          --toolchain ${CMAKE_TOOLCHAIN_FILE}
          --make-program ${CMAKE_MAKE_PROGRAM}
          --target winrepair
          --output winrepair.exe)
set_tests_properties(resources_reproducible_build PROPERTIES TIMEOUT 1800 RUN_SERIAL TRUE LABELS slow)
# The checkers import each other; keep bytecode caches out of the source tree.
set_tests_properties(resources_exe_check resources_exe_check_catches_damage resources_reproducible_build
  PROPERTIES ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)

# The product links no exception runtime and no iostream.
add_test(NAME product_link_map_check
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check_link_map.py ${CMAKE_BINARY_DIR}/winrepair.map)
# A program built like the product but calling a throwing substr: the check
# must see it in this linker's map.
add_executable(link_map_probe ${CMAKE_CURRENT_LIST_DIR}/link_map_probe.cpp)
target_compile_options(link_map_probe PRIVATE ${PRODUCT_FLAGS})
target_link_options(link_map_probe PRIVATE -static "-Wl,-Map,${CMAKE_BINARY_DIR}/link_map_probe.map")
add_test(NAME product_link_map_check_catches_throw
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check_link_map.py
          --expect-linked functexcept.o ${CMAKE_BINARY_DIR}/link_map_probe.map)
set_tests_properties(product_link_map_check product_link_map_check_catches_throw
  PROPERTIES ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
