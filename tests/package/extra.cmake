# The installed package as a host sees it: install into a private prefix, check what the
# shared library exports, compile each header alone, build and run a tiny host with
# find_package(Scansione) and one with pkg-config.
find_program(PKG_CONFIG_PROGRAM NAMES pkg-config pkgconf REQUIRED)
set(package_targets scansione_shared scansione_compressed_docs)
foreach(program scansione scansione-batch)
  if(TARGET ${program})
    list(APPEND package_targets ${program})
  endif()
endforeach()
list(JOIN package_targets "|" package_targets)
add_test(NAME package_install
  COMMAND ${CMAKE_COMMAND}
    -DBUILD_DIR=${PROJECT_BINARY_DIR}
    -DHOST_SOURCE=${CMAKE_CURRENT_SOURCE_DIR}/package/host
    -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/package-test
    -DTARGETS=${package_targets}
    -DCXX=${CMAKE_CXX_COMPILER}
    -DBUILD_TYPE=${CMAKE_BUILD_TYPE}
    -DLIBDIR=${CMAKE_INSTALL_LIBDIR}
    -DSOVERSION=${SCANSIONE_SOVERSION}
    -DNM=${CMAKE_NM}
    -DREADELF=${CMAKE_READELF}
    -DPKG_CONFIG=${PKG_CONFIG_PROGRAM}
    -P ${CMAKE_CURRENT_SOURCE_DIR}/package/install_and_build.cmake)
# Both this and the Debian package test build and install from the one build tree.
set_tests_properties(package_install PROPERTIES LABELS unit TIMEOUT 900
  RESOURCE_LOCK build_tree ENVIRONMENT "${SCANSIONE_TEST_ENV}")

# Desktop entry, metadata and manual pages; then the Debian packages (not from an instrumented
# build, whose programs would depend on the sanitizer runtimes).
add_test(NAME package_desktop_files
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DAPP_ID=${SCANSIONE_APP_ID}
    -P ${CMAKE_CURRENT_SOURCE_DIR}/package/desktop_files.cmake)
set_tests_properties(package_desktop_files PROPERTIES LABELS package TIMEOUT 120
  SKIP_REGULAR_EXPRESSION "SKIPPED: ")
if(NOT SCANSIONE_SANITIZE)
  find_program(CPACK_PROGRAM cpack HINTS ${CMAKE_COMMAND}/.. REQUIRED)
  add_test(NAME package_debian
    COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${PROJECT_BINARY_DIR}
      -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/package-debian -DCPACK=${CPACK_PROGRAM}
      -DAPP_ID=${SCANSIONE_APP_ID} -DVERSION=${PROJECT_VERSION} -DSOVERSION=${SCANSIONE_SOVERSION}
      -P ${CMAKE_CURRENT_SOURCE_DIR}/package/debian.cmake)
  set_tests_properties(package_debian PROPERTIES LABELS package TIMEOUT 600
    RESOURCE_LOCK build_tree SKIP_REGULAR_EXPRESSION "SKIPPED: ")
endif()
