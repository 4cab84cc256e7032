# The virtual scanner tests read the shipped example file.
if(TARGET virtual_scanner_test)
  target_compile_definitions(virtual_scanner_test PRIVATE SCANSIONE_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
endif()
