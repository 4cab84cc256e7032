# The installed package as a host sees it: install into a private prefix, build a tiny host
# with find_package(Scansione) and run it.
set(package_targets ${SCANSIONE_LIBRARIES})
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
    -P ${CMAKE_CURRENT_SOURCE_DIR}/package/install_and_build.cmake)
set_tests_properties(package_install PROPERTIES LABELS unit TIMEOUT 900
  ENVIRONMENT "${SCANSIONE_TEST_ENV}")
