# The text layer's test adds the layer to a PDF it opens with qpdf itself.
if(TARGET pdf_text_layer_test)
  target_link_libraries(pdf_text_layer_test PRIVATE qpdf::libqpdf)
  target_compile_definitions(pdf_text_layer_test PRIVATE POINTERHOLDER_TRANSITION=4)
endif()
