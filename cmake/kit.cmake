# The Windows test kit: the released winrepair.exe and every Windows-side
# test program that means something on a real Windows machine, gathered in
# build/<tree>/kit/ with run-tests.cmd, the opt-in sfc-evidence.cmd (and
# its writer, tests\evidence_writer.exe), LICENSE and the programs'
# third-party notices at its root, and packed as
# build/<tree>/winrepair-tests.zip. scripts/release/windows_kit.sh builds it.
#
# Two global lists say what goes in, so a new test program only has to add
# itself where it is defined:
#   kit_test(<target>... [CTEST <test>...])  programs run-tests.cmd runs; the
#       named CTest entries run the same program under Wine and get the label
#       "kit", so a run that already ran the kit under Wine can leave them out
#   kit_companion(<target>...)               programs the tests start from
#       beside themselves; copied, never run by run-tests.cmd
# winrepair_kit() at the end of the top-level list makes the target from them.

function(kit_test)
  cmake_parse_arguments(PARSE_ARGV 0 KIT "" "" "CTEST")
  set_property(GLOBAL APPEND PROPERTY WINREPAIR_KIT_TESTS ${KIT_UNPARSED_ARGUMENTS})
  foreach(test IN LISTS KIT_CTEST)
    set_property(TEST ${test} APPEND PROPERTY LABELS kit)
  endforeach()
endfunction()

function(kit_companion)
  set_property(GLOBAL APPEND PROPERTY WINREPAIR_KIT_COMPANIONS ${ARGN})
endfunction()

function(winrepair_kit)
  # The contract suite: its two programs run, every other contract_*
  # program is a companion they start from beside themselves.
  kit_test(contract_tests_fake CTEST contract_tests_fake_wine)
  kit_test(contract_tests_win32 CTEST contract_tests_win32)
  get_property(tests GLOBAL PROPERTY WINREPAIR_KIT_TESTS)
  get_property(targets DIRECTORY ${CMAKE_SOURCE_DIR} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    if(target MATCHES "^contract_")
      get_target_property(type ${target} TYPE)
      if(type STREQUAL "EXECUTABLE" AND NOT target IN_LIST tests)
        kit_companion(${target})
      endif()
    endif()
  endforeach()

  get_property(tests GLOBAL PROPERTY WINREPAIR_KIT_TESTS)
  get_property(companions GLOBAL PROPERTY WINREPAIR_KIT_COMPANIONS)
  list(REMOVE_DUPLICATES tests)
  list(REMOVE_DUPLICATES companions)

    # sfc-evidence.cmd's helper: it asks the tester's questions and writes the
  # file (the kit's root holds the script, tests\ the helper).
  add_executable(evidence_writer ${CMAKE_SOURCE_DIR}/tests/tools/evidence_writer.cpp)
  target_compile_options(evidence_writer PRIVATE ${TEST_CODE_FLAGS})
  target_link_options(evidence_writer PRIVATE -static -municode)

  set(source ${CMAKE_SOURCE_DIR}/tests/kit)
  set(stage ${CMAKE_BINARY_DIR}/kit)
  set(zip ${CMAKE_BINARY_DIR}/winrepair-tests.zip)
  set(release_exe ${CMAKE_BINARY_DIR}/dist/winrepair.exe)

  # The order run-tests.cmd runs them in, one name a line, CR LF as cmd.exe
  # writes its own files.
  string(REPLACE ";" "\r\n" list_text "${tests}")
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/kit-tests.txt CONTENT "${list_text}\r\n")

  set(copy_programs)
  foreach(target IN LISTS tests companions)
    list(APPEND copy_programs COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${target}> ${stage}/tests/)
  endforeach()

  # The notices of everything the kit's programs link, the released program
  # among them, with the project's LICENSE beside them.
  set(notices ${CMAKE_BINARY_DIR}/kit-notices/THIRD-PARTY-NOTICES.txt)
  set(kit_programs ${tests} ${companions} standin evidence_writer)
  list(REMOVE_DUPLICATES kit_programs)
  foreach(target IN LISTS kit_programs)
    winrepair_link_map(${target})
  endforeach()
  winrepair_notices(${notices} PACKAGES_JSON ${CMAKE_BINARY_DIR}/kit-notices/packages.json
    TITLE "winrepair ${PROJECT_VERSION} test kit"
    NOTE "console-check\\DISM.exe and console-check\\sfc.exe are copies of standin.exe, this kit's stand-in program, not the tools of those names that come with windows: they hold what standin.exe holds, and its notices below are theirs."
    PROGRAMS winrepair ${kit_programs})
  # LICENSE as Windows users read it (CR LF); the repository's stays as it is.
  set(license ${CMAKE_BINARY_DIR}/kit-notices/LICENSE)
  add_custom_command(OUTPUT ${license}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/release/windows_text.py ${CMAKE_SOURCE_DIR}/LICENSE ${license}
    DEPENDS ${CMAKE_SOURCE_DIR}/LICENSE ${CMAKE_SOURCE_DIR}/scripts/release/windows_text.py
    VERBATIM)

  add_custom_target(kit
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage} ${zip}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}/tests ${stage}/console-check
    ${copy_programs}
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_BINARY_DIR}/kit-tests.txt ${stage}/tests/tests.txt
    # The tests start the released program, as a user would get it.
    COMMAND ${CMAKE_COMMAND} -E copy ${release_exe} ${stage}/tests/winrepair.exe
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:evidence_writer> ${stage}/tests/
    COMMAND ${CMAKE_COMMAND} -E copy ${source}/run-tests.cmd ${source}/sfc-evidence.cmd ${source}/CONSOLE-CHECK.txt
            ${stage}/
    COMMAND ${CMAKE_COMMAND} -E copy ${license} ${notices} ${stage}/
    # The folder the manual console check starts from: the program with
    # stand-ins for both tools, DISM's slow enough to type ahead while it runs.
    COMMAND ${CMAKE_COMMAND} -E copy ${release_exe} ${stage}/console-check/winrepair.exe
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:standin> ${stage}/console-check/DISM.exe
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:standin> ${stage}/console-check/sfc.exe
    COMMAND ${CMAKE_COMMAND} -E copy ${source}/DISM.delay ${stage}/console-check/DISM.delay
    COMMAND ${CMAKE_COMMAND} -E chdir ${stage}
            ${CMAKE_COMMAND} -E tar cf ${zip} --format=zip "--mtime=2000-01-01 00:00:00Z"
            run-tests.cmd sfc-evidence.cmd CONSOLE-CHECK.txt LICENSE THIRD-PARTY-NOTICES.txt tests console-check
    DEPENDS ${notices} ${license}
    COMMENT "Packing the Windows test kit: ${zip}"
    VERBATIM)
  add_dependencies(kit release standin evidence_writer ${tests} ${companions})
endfunction()
