# The files a desktop and a manual reader take in: the desktop entry and the AppStream metadata
# validate, and the manual pages render with no warning from groff. Run by CTest through
# cmake -P. Inputs: SOURCE_DIR, APP_ID.
cmake_minimum_required(VERSION 3.25)

include(${CMAKE_CURRENT_LIST_DIR}/common.cmake)
require_tools(desktop-file-validate appstreamcli man)
if(tools_missing)
  return()
endif()

# Hints are advice, not faults: the categories asked for name two main ones (Office, Graphics),
# which the validator only hints at.
run("desktop-file-validate" desktop-file-validate
    "${SOURCE_DIR}/desktop/${APP_ID}.desktop")
if(last_output MATCHES "(error|warning):")
  message(FATAL_ERROR "desktop-file-validate:\n${last_output}")
endif()
run("appstreamcli validate" appstreamcli validate --no-net --pedantic
    "${SOURCE_DIR}/desktop/${APP_ID}.metainfo.xml")

# man prints groff's warnings (unknown macros, bad escapes, lines it cannot break) on standard
# error and still succeeds, so any text there is a failure; these are lintian's settings.
set(ENV{LC_ALL} C.UTF-8)
set(ENV{MANROFFSEQ} "")
set(ENV{MANWIDTH} 80)
foreach(page scansione.1 scansione-batch.1)
  run("man ${page}" man --warnings -E UTF-8 -l -Tutf8 -Z "${SOURCE_DIR}/man/${page}")
  if(NOT last_error STREQUAL "")
    message(FATAL_ERROR "man ${page} warns:\n${last_error}")
  endif()
endforeach()
