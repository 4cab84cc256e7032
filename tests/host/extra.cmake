# The host programs' logic lives in host_start and host_batch, not in a folder library.
if(TARGET start_routine_test)
  target_link_libraries(start_routine_test PRIVATE host_start)
endif()
if(TARGET batch_cli_test)
  target_link_libraries(batch_cli_test PRIVATE host_batch)
endif()
