
# Network scanners on loopback: SANE's saned exporting the test backend, and our eSCL
# emulator behind sane-airscan. The servers run as child processes of the tests.
find_package(Qt6 REQUIRED COMPONENTS Network)
add_executable(escl_emulator ${CMAKE_CURRENT_LIST_DIR}/netscan/escl_emulator.cpp)
target_link_libraries(escl_emulator PRIVATE Qt6::Gui Qt6::Network)
target_compile_options(escl_emulator PRIVATE ${SCANSIONE_WARNINGS})

add_library(netscan_support STATIC ${CMAKE_CURRENT_LIST_DIR}/netscan/NetScan.cpp
  ${CMAKE_CURRENT_LIST_DIR}/netscan/NetScan.h)
target_include_directories(netscan_support PUBLIC ${CMAKE_CURRENT_LIST_DIR}/netscan)
target_link_libraries(netscan_support PUBLIC Qt6::Gui Qt6::Network)
target_compile_options(netscan_support PRIVATE ${SCANSIONE_WARNINGS})
target_compile_definitions(netscan_support PRIVATE ESCL_EMULATOR="$<TARGET_FILE:escl_emulator>"
  SANE_TEST_CONF="${PROJECT_SOURCE_DIR}/tests/sane/test.conf")
add_dependencies(netscan_support escl_emulator)

foreach(test SaneNet_sane_test SaneEscl_sane_test NetBatch_sane_test)
  if(TARGET ${test})
    target_link_libraries(${test} PRIVATE netscan_support default_wiring)
    # Every case starts a server of its own; the whole file stays well inside this bound.
    set_tests_properties(${test} PROPERTIES TIMEOUT 240)
  endif()
endforeach()
if(TARGET NetBatch_sane_test)
  add_dependencies(NetBatch_sane_test scansione-batch)
endif()

# libsane belongs to the worker alone: the shared library a host links and the two programs
# load none of it (ldd lists no libsane), while the worker does (so that the check sees it).
add_test(NAME no_libsane_outside_the_worker
  COMMAND ${CMAKE_COMMAND} -DWORKER=$<TARGET_FILE:scansione-sane-worker>
    "-DFREE=$<TARGET_FILE:scansione_shared>|$<TARGET_FILE:scansione>|$<TARGET_FILE:scansione-batch>"
    -P ${CMAKE_CURRENT_LIST_DIR}/no_libsane.cmake)
set_tests_properties(no_libsane_outside_the_worker PROPERTIES LABELS unit TIMEOUT 60)
