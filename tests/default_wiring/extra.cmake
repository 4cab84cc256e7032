# The default-wiring test reads the example virtual scanners of the source tree.
if(TARGET DefaultComponent_sane_test)
  target_compile_definitions(DefaultComponent_sane_test PRIVATE
    SCANSIONE_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
endif()
