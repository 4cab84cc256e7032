# The client's tests start the worker program the client finds in the build tree.
if(TARGET OcrClient_test)
  add_dependencies(OcrClient_test scansione-ocr-worker)
endif()
