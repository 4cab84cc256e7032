# The report of SANE's test backend goes through the real component, so that one test links
# the SANE layer and lets SANE in (the other tests keep it out).
if(TARGET report_sane_test)
  target_link_libraries(report_sane_test PRIVATE default_wiring)
  string(REPLACE "SCANSIONE_SANE=0" "SCANSIONE_SANE=1" report_sane_env "${SCANSIONE_TEST_ENV}")
  set_tests_properties(report_sane_test PROPERTIES ENVIRONMENT "${report_sane_env}")
endif()
