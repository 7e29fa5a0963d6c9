# The release as users get it: made by scripts/release/make_release.py, signed with a
# throwaway certificate made at test time, verified, tampered with,
# timestamped by a throwaway time-stamping service the test runs on
# 127.0.0.1, refused when its signature or timestamp does not verify, and
# then run end to end under Wine by the same tests as the plain build.
# Twice: with the installed osslsigncode (a newer one from backports on
# maintainers' machines), and with Debian 12's own, 2.5-4, which the CI
# containers have and which prints its verification differently
# (scripts/release/debian_osslsigncode.sh puts it beside the installed one).
# Besides Python it runs openssl (the certificates and the service),
# osslsigncode (signing, verifying) and file (the line ends of the shipped
# texts).
winrepair_require_program(OPENSSL_PROGRAM openssl openssl)
winrepair_require_program(OSSLSIGNCODE_PROGRAM osslsigncode osslsigncode)
winrepair_require_program(FILE_PROGRAM file file)
set(RELEASE_TEST_DIR ${CMAKE_BINARY_DIR}/release-test)
set(release_check_args
  --exe $<TARGET_FILE:winrepair>
  --version ${PROJECT_VERSION}
  --publisher-text-file ${CMAKE_SOURCE_DIR}/publisher/publisher.txt
  --web-address ${WINREPAIR_PUBLISHER_TEXT}
  --license ${CMAKE_SOURCE_DIR}/LICENSE
  --notices ${RELEASE_NOTICES}
  --packages ${RELEASE_PACKAGES})
add_test(NAME release_signing
  COMMAND ${PEFILE_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/check_release.py ${release_check_args}
          --work-dir ${RELEASE_TEST_DIR}/work
          --signed-copy ${RELEASE_TEST_DIR}/winrepair.exe)
add_test(NAME release_signing_debian_osslsigncode
  COMMAND ${PEFILE_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/check_release.py ${release_check_args}
          --work-dir ${RELEASE_TEST_DIR}/work-debian-osslsigncode
          --debian-osslsigncode)
set_tests_properties(release_signing PROPERTIES FIXTURES_SETUP release_signed)
set_tests_properties(release_signing release_signing_debian_osslsigncode PROPERTIES
  ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)

# The tag check takes the version as CMakeLists.txt gives it and nothing
# else: no other number, no suffix, no leading zero, no space.
add_test(NAME release_tag_check_cases
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/release/check_tag_test.py ${PROJECT_VERSION})
set_tests_properties(release_tag_check_cases PROPERTIES ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)

# Whole runs with their exit statuses read on the Windows side.
wine_test(release_signed_e2e
  COMMAND e2e_tests --gtest_brief=1 "--gtest_filter=Transcript.*:*/Verdicts.*")
set_tests_properties(release_signed_e2e PROPERTIES
  FIXTURES_REQUIRED "wine;release_signed"
  ENVIRONMENT "${WINE_ENV};WR_E2E_PROGRAM=Z:${RELEASE_TEST_DIR}/winrepair.exe"
  TIMEOUT 600)

add_test(NAME readme_shows_version
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check_readme_version.py
          ${PROJECT_VERSION} ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/README.ru.md)
add_test(NAME readme_version_check_catches_mismatch
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check_readme_version.py --self-test)

add_test(NAME changelog_shows_version
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check_changelog.py
          ${CMAKE_SOURCE_DIR}/CHANGELOG.md ${PROJECT_VERSION})
add_test(NAME changelog_check_catches_mismatch
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check_changelog.py --self-test)

# The notices follow what is linked, in this linker's map format.
add_test(NAME notices_follow_the_link
  COMMAND ${DEBIAN_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/check_notices.py
          --tree ${CMAKE_BINARY_DIR}
          --inputs ${WINREPAIR_LINK_INPUTS}
          --license ${CMAKE_SOURCE_DIR}/LICENSE
          --product-map ${CMAKE_BINARY_DIR}/winrepair.map
          --probe-map ${CMAKE_BINARY_DIR}/link_map_probe.map
          --test-map ${CMAKE_BINARY_DIR}/maps/unit_tests_runtime.map
          --work-dir ${CMAKE_BINARY_DIR}/notices-test)
set_tests_properties(notices_follow_the_link PROPERTIES ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)

# The release workflow's tag check and notes, run as the workflow runs them
# (its own run: texts) with this version, a tag that is not it, and this
# repository's CHANGELOG.md, and its release step with a stand-in for
# scripts/release/release.sh (the signing roots reach it as a file); and the
# changelog cutter on changelogs of every
# shape Keep a Changelog allows. The workflow reader needs Debian's
# python3-yaml, which Debian's own interpreter sees.
winrepair_python_with(YAML_PYTHON yaml python3-yaml)
add_test(NAME release_workflow_steps
  COMMAND ${YAML_PYTHON} ${CMAKE_SOURCE_DIR}/scripts/checks/check_release_workflow.py steps --version ${PROJECT_VERSION})
add_test(NAME changelog_section_cuts
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/release/changelog_section_test.py)
set_tests_properties(release_workflow_steps changelog_section_cuts PROPERTIES ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
