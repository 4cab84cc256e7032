# The virtual scanner tests read the shipped example file.
if(TARGET virtual_scanner_test)
  target_compile_definitions(virtual_scanner_test PRIVATE SCANSIONE_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
endif()
# The text layer's test adds the layer to a PDF it opens with qpdf itself.
if(TARGET pdf_text_layer_test)
  target_link_libraries(pdf_text_layer_test PRIVATE qpdf::libqpdf)
  target_compile_definitions(pdf_text_layer_test PRIVATE POINTERHOLDER_TRANSITION=4)
endif()
