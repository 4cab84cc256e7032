# The libraries' layering, checked on every run: what each folder's code may include and what
# its library may link (tests/layering/layering.cmake holds the rules).
set(layering_libraries common settings component_base writers acquisition virtual_scanner
  worker_process acquisition_sane sane_worker ocr_worker ocr_protocol ocr_client acquisition_ui
  device_info scan_window default_wiring)
set(layering_links "")
foreach(library IN LISTS layering_libraries)
  string(APPEND layering_links
    "${library}=$<JOIN:$<TARGET_PROPERTY:${library},LINK_LIBRARIES>,,>\n")
endforeach()
file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/layering-links.txt CONTENT "${layering_links}")
get_target_property(widgets_includes Qt6::Widgets INTERFACE_INCLUDE_DIRECTORIES)
list(JOIN widgets_includes "|" widgets_includes)
add_test(NAME layering
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
    -DLINKS=${CMAKE_CURRENT_BINARY_DIR}/layering-links.txt "-DWIDGETS_INCLUDES=${widgets_includes}"
    -P ${CMAKE_CURRENT_LIST_DIR}/layering.cmake)
set_tests_properties(layering PROPERTIES LABELS unit TIMEOUT 60)
