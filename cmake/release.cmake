# The release: build/<tree>/dist/ with winrepair.exe, signed when a
# certificate is given in the environment (see scripts/release/make_release.py),
# LICENSE and THIRD-PARTY-NOTICES.txt (CR LF, as Windows users read them),
# the bill of materials, and SHA256SUMS of them all. scripts/release/release.sh builds it in a fresh tree and copies it to
# dist/.
include(${CMAKE_SOURCE_DIR}/cmake/notices.cmake)
winrepair_link_map(winrepair MAP ${CMAKE_BINARY_DIR}/winrepair.map)
set(RELEASE_NOTICES ${CMAKE_BINARY_DIR}/notices/THIRD-PARTY-NOTICES.txt)
set(RELEASE_PACKAGES ${CMAKE_BINARY_DIR}/notices/packages.json)
winrepair_notices(${RELEASE_NOTICES} PACKAGES_JSON ${RELEASE_PACKAGES}
  TITLE "winrepair ${PROJECT_VERSION}, winrepair.exe" PROGRAMS winrepair)
# Part of every build: the release tests read them, and a link that pulls in
# what no package accounts for fails the build, not only the release.
add_custom_target(notices ALL DEPENDS ${RELEASE_NOTICES} ${RELEASE_PACKAGES})

add_custom_target(release
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/release/make_release.py
          --exe $<TARGET_FILE:winrepair>
          --out-dir ${CMAKE_BINARY_DIR}/dist
          --version ${PROJECT_VERSION}
          --license ${CMAKE_SOURCE_DIR}/LICENSE
          --notices ${RELEASE_NOTICES}
          --packages ${RELEASE_PACKAGES}
          --publisher-text-file ${CMAKE_SOURCE_DIR}/publisher/publisher.txt
  DEPENDS ${RELEASE_NOTICES} ${RELEASE_PACKAGES}
  COMMENT "Making the release of winrepair ${PROJECT_VERSION}"
  VERBATIM)
add_dependencies(release winrepair)
