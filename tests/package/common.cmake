# What the package scripts share (each runs under CTest through cmake -P and includes this).

# `run(what command...)`: runs the command and stops the script with its output when it
# fails. Afterwards `last_output` holds what it printed (standard output and error together)
# and `last_error` its standard error alone.
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what} failed (${result}):\n${out}${err}")
  endif()
  set(last_output "${out}${err}" PARENT_SCOPE)
  set(last_error "${err}" PARENT_SCOPE)
endfunction()

# `require_tools(tool...)`: sets `tools_missing` (and says SKIPPED) when one is not installed;
# the caller then returns, so that a machine without them skips rather than fails.
function(require_tools)
  set(tools_missing FALSE PARENT_SCOPE)
  foreach(tool ${ARGN})
    find_program(tool_path_${tool} ${tool})
    if(NOT tool_path_${tool})
      message("SKIPPED: ${tool} is not installed (./dev setup installs it)")
      set(tools_missing TRUE PARENT_SCOPE)
      return()
    endif()
  endforeach()
endfunction()
