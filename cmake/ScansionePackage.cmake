# The host-facing package: find_package(Scansione) gives Scansione::scansione, an interface
# target that pulls in every library of the scan window.
include(CMakePackageConfigHelpers)

add_library(scansione_all INTERFACE)
target_link_libraries(scansione_all INTERFACE ${SCANSIONE_LIBRARIES})
set_target_properties(scansione_all PROPERTIES EXPORT_NAME scansione)
add_library(Scansione::scansione ALIAS scansione_all)
install(TARGETS scansione_all EXPORT ScansioneTargets)

install(EXPORT ScansioneTargets NAMESPACE Scansione::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Scansione)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/ScansioneConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ScansioneConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Scansione)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ScansioneConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ScansioneConfig.cmake
              ${PROJECT_BINARY_DIR}/ScansioneConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Scansione)
