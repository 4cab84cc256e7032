# The start routine lives in host_start, not in a folder library.
if(TARGET start_routine_test)
  target_link_libraries(start_routine_test PRIVATE host_start)
endif()
