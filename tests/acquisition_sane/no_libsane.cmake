# Run by CTest through cmake -P: no file of FREE ("|"-separated) loads libsane, and WORKER does.
cmake_minimum_required(VERSION 3.25)

function(libraries_of file out)
  execute_process(COMMAND ldd "${file}" RESULT_VARIABLE result OUTPUT_VARIABLE listed
                  ERROR_VARIABLE listed)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "ldd ${file} failed (${result}):\n${listed}")
  endif()
  set(${out} "${listed}" PARENT_SCOPE)
endfunction()

string(REPLACE "|" ";" free "${FREE}")
foreach(file IN LISTS free)
  libraries_of("${file}" listed)
  if(listed MATCHES "libsane")
    message(FATAL_ERROR "${file} loads libsane:\n${listed}")
  endif()
  message(STATUS "${file}: no libsane")
endforeach()
libraries_of("${WORKER}" listed)
if(NOT listed MATCHES "libsane\\.so\\.1")
  message(FATAL_ERROR "the worker ${WORKER} does not load libsane:\n${listed}")
endif()
