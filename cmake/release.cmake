# The release: build/<tree>/dist/winrepair.exe, signed when a certificate is
# given in the environment (see scripts/make_release.py), and its SHA256SUMS.
# scripts/release.sh builds it in a fresh tree and copies it to dist/.
add_custom_target(release
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/make_release.py
          --exe $<TARGET_FILE:winrepair>
          --out-dir ${CMAKE_BINARY_DIR}/dist
          --version ${PROJECT_VERSION}
  COMMENT "Making the release of winrepair ${PROJECT_VERSION}"
  VERBATIM)
add_dependencies(release winrepair)
