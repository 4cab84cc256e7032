# The host programs' logic lives in host_start and host_batch, not in a folder library.
if(TARGET start_routine_test)
  target_link_libraries(start_routine_test PRIVATE host_start)
endif()
if(TARGET batch_cli_test)
  target_link_libraries(batch_cli_test PRIVATE host_batch)
endif()
# The office feeder's batch runs the program on the shipped example file, with the real OCR
# worker reading and correcting its pages.
if(TARGET office_feeder_test)
  add_dependencies(office_feeder_test scansione-batch scansione-ocr-worker)
  target_compile_definitions(office_feeder_test PRIVATE SCANSIONE_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
endif()
