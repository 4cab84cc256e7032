# The tests run tesseract in their own process and start the worker program.
foreach(name ocr_engine_test page_geometry_test)
  if(TARGET ${name})
    target_link_libraries(${name} PRIVATE ocr_worker ocr_protocol qpdf::libqpdf)
    target_compile_definitions(${name} PRIVATE POINTERHOLDER_TRANSITION=4
      SCANSIONE_OCR_WORKER="$<TARGET_FILE:scansione-ocr-worker>")
    add_dependencies(${name} scansione-ocr-worker)
    set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT OMP_THREAD_LIMIT=1)
  endif()
endforeach()
# The orientation finder is also tried on the virtual scanner's pages.
if(TARGET page_geometry_test)
  target_link_libraries(page_geometry_test PRIVATE virtual_scanner)
endif()
