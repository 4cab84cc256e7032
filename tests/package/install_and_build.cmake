# Installs the build into a private prefix, then configures, builds and runs the small host of
# host/ against that prefix with find_package(Scansione). Run by CTest through cmake -P.
# Inputs: BUILD_DIR, HOST_SOURCE, WORK_DIR, TARGETS ("|"-separated), CXX, BUILD_TYPE.
cmake_minimum_required(VERSION 3.25)

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what} failed (${result}):\n${out}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")

# cmake --install needs every installed target built; when they are, this does nothing.
string(REPLACE "|" ";" targets "${TARGETS}")
run("building the installed targets" ${CMAKE_COMMAND} --build "${BUILD_DIR}" -j2 --target ${targets})
run("cmake --install" ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}")

foreach(header include/scansione/settings/ScanSettings.h include/scansione/common/VbConvert.h
               lib/cmake/Scansione/ScansioneConfig.cmake)
  if(NOT EXISTS "${prefix}/${header}")
    message(FATAL_ERROR "the install lacks ${header}")
  endif()
endforeach()

run("configuring the host" ${CMAKE_COMMAND} -S "${HOST_SOURCE}" -B "${WORK_DIR}/host"
    "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_CXX_COMPILER=${CXX}" "-DCMAKE_BUILD_TYPE=${BUILD_TYPE}")
run("building the host" ${CMAKE_COMMAND} --build "${WORK_DIR}/host" -j2)

file(WRITE "${WORK_DIR}/scanner.ini" "[MAIN]\nFormato=TIFF\nRisoluzione=300\nQualitàJPEG=75\n")
run("running the host" "${WORK_DIR}/host/package_host" "${WORK_DIR}/scanner.ini")
if(NOT last_output MATCHES "available=-1 format=TIFF resolution=300 quality=75")
  message(FATAL_ERROR "the host read the wrong settings: ${last_output}")
endif()
message(STATUS "package host: ${last_output}")
