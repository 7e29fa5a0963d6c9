# How Wine starts this suite's processes: through its preloader, which keeps
# the shared user data page free of the loader's heap (a start that meets it
# fails with 1359). The check starts the probe with the build's emulator, as
# CTest starts every Windows program here, and reads what runs from /proc.

add_executable(wine_start_probe ${CMAKE_CURRENT_LIST_DIR}/wine_start_probe.cpp)
target_link_options(wine_start_probe PRIVATE -static -municode)

# A plain path, not the imported interpreter target: CMake would put the
# emulator in front of an executable target.
wine_test(wine_preloader
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check_wine_start.py
          --probe $<TARGET_FILE:wine_start_probe>
          -- ${CMAKE_CROSSCOMPILING_EMULATOR})
set_tests_properties(wine_preloader PROPERTIES TIMEOUT 240)
