# The installed package as a host sees it: install the build into a private prefix, then
# - the shared library exports only the classes marked SCANSIONE_EXPORT in its headers;
# - every installed header compiles alone, with the flags of the installed scansione.pc;
# - a tiny host built with find_package(Scansione 1.0), and one built with pkg-config, link
#   the shared library and run: settings read, a session refused for want of a scanner; with
#   SANE's test backend, a session started through the worker the library found in the prefix;
# - the installed scansione-batch lists SANE's test devices through its own worker;
# - the example host shipped with the kit builds from its installed copy with CMake and with
#   its pkg-config Makefile, and runs; the API reference is there.
# Everything lives outside the build tree, as a real install does: code running from the build
# tree would take the worker built there.
# Run by CTest through cmake -P. Inputs: BUILD_DIR, HOST_SOURCE, WORK_DIR, TARGETS
# ("|"-separated), CXX, BUILD_TYPE, LIBDIR, SOVERSION, NM, PKG_CONFIG, READELF.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/common.cmake)

if(DEFINED ENV{TMPDIR} AND IS_DIRECTORY "$ENV{TMPDIR}")
  set(scratch "$ENV{TMPDIR}")
else()
  set(scratch /tmp)
endif()
string(RANDOM LENGTH 10 key)
set(WORK_DIR "${scratch}/scansione-package-${key}")
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
set(libdir "${prefix}/${LIBDIR}")

# cmake --install needs every installed target built; when they are, this does nothing.
string(REPLACE "|" ";" targets "${TARGETS}")
run("building the installed targets" ${CMAKE_COMMAND} --build "${BUILD_DIR}" -j2 --target ${targets})
run("cmake --install" ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}")

set(kit share/doc/libscansione-dev)
foreach(file ${LIBDIR}/libscansione.so.${SOVERSION} ${LIBDIR}/cmake/Scansione/ScansioneConfigVersion.cmake
             ${LIBDIR}/pkgconfig/scansione.pc include/scansione/settings/ScanSettings.h
             ${kit}/examples/host/main.cpp ${kit}/examples/host/CMakeLists.txt
             ${kit}/examples/host/Makefile ${kit}/html/index.html ${kit}/html/classFormScansione.html)
  if(NOT EXISTS "${prefix}/${file}")
    message(FATAL_ERROR "the install lacks ${file}")
  endif()
endforeach()
file(GLOB_RECURSE archives "${prefix}/*.a")
if(archives)
  message(FATAL_ERROR "internal static libraries were installed: ${archives}")
endif()

# The exported classes, as the headers declare them.
file(GLOB_RECURSE headers RELATIVE "${prefix}/include" "${prefix}/include/scansione/*.h")
set(classes "")
set(functions "")
foreach(header IN LISTS headers)
  file(STRINGS "${prefix}/include/${header}" declarations
       REGEX "^[ \t]*(class|struct)[ \t]+SCANSIONE_EXPORT[ \t]+[A-Za-z_]")
  foreach(declaration IN LISTS declarations)
    string(REGEX REPLACE ".*SCANSIONE_EXPORT[ \t]+([A-Za-z_0-9]+).*" "\\1" class "${declaration}")
    list(APPEND classes ${class})
  endforeach()
  file(STRINGS "${prefix}/include/${header}" declarations
       REGEX "^SCANSIONE_EXPORT[ \t][^(]*[ \t*&][A-Za-z_][A-Za-z_0-9]*\\(")
  foreach(declaration IN LISTS declarations)
    string(REGEX REPLACE "^[^(]*[ \t*&]([A-Za-z_][A-Za-z_0-9]*)\\(.*" "\\1" function
           "${declaration}")
    list(APPEND functions ${function})
  endforeach()
endforeach()
list(JOIN classes "|" class_alternatives)
list(JOIN functions "|" function_alternatives)
run("nm" ${NM} -D --defined-only -C "${libdir}/libscansione.so.${SOVERSION}")
string(REPLACE "\n" ";" symbols "${last_output}")
set(foreign "")
foreach(line IN LISTS symbols)
  if(line MATCHES "^[0-9a-f]+ [A-Za-z] (.*)$")
    set(name "${CMAKE_MATCH_1}")
    # A member template's instantiation is demangled with its return type in front.
    if(NOT name MATCHES "^((vtable|typeinfo|typeinfo name) for |(non-)?virtual thunk to |[A-Za-z_0-9:]+\\* )?(${class_alternatives})(::|$)"
       AND NOT name MATCHES "^(${function_alternatives})\\(")
      list(APPEND foreign "${name}")
    endif()
  endif()
endforeach()
if(foreign)
  list(JOIN foreign "\n  " foreign)
  message(FATAL_ERROR "libscansione exports symbols beyond ${class_alternatives}:\n  ${foreign}")
endif()
# Every function an installed header declares exported is there: a host calling it links.
foreach(needed "FormScansione::EseguiScansione" "FormScansione::staticMetaObject"
               "ScanSettings::ReadIni" ${functions})
  string(FIND "${last_output}" "${needed}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "libscansione does not export ${needed}")
  endif()
endforeach()

# Hosts compile with what scansione.pc gives, on the oldest standard Qt 6 allows.
set(ENV{PKG_CONFIG_PATH} "${libdir}/pkgconfig")
run("pkg-config --cflags" ${PKG_CONFIG} --cflags scansione)
separate_arguments(cflags UNIX_COMMAND "${last_output}")
run("pkg-config --libs" ${PKG_CONFIG} --libs scansione)
separate_arguments(libs UNIX_COMMAND "${last_output}")
foreach(header IN LISTS headers)
  file(WRITE "${WORK_DIR}/header.cpp" "#include <${header}>\n")
  run("compiling ${header} alone" ${CXX} -std=c++17 -fsyntax-only ${cflags}
      "${WORK_DIR}/header.cpp")
endforeach()

set(ini "${WORK_DIR}/scanner.ini")
file(WRITE "${ini}" "[MAIN]\nFormato=TIFF\nRisoluzione=300\nQualitàJPEG=75\npdfa=2B\n")
# No scanner at all: SANE left out, no virtual scanners.
set(ENV{SCANSIONE_SANE} 0)
unset(ENV{SCANSIONE_VIRTUAL_SCANNERS})

function(check_host host)
  run("reading the host's libraries" ${READELF} -d "${host}")
  if(NOT last_output MATCHES "NEEDED[^\n]*libscansione\\.so\\.${SOVERSION}\\]")
    message(FATAL_ERROR "${host} does not link libscansione.so.${SOVERSION}:\n${last_output}")
  endif()
  run("running ${host}" "${host}" "${ini}")
  if(NOT last_output MATCHES "available=-1 format=TIFF resolution=300 quality=75 pdfa=2B\n"
     OR NOT last_output MATCHES "session=none code=SCAN_NOT_AVAILABLE\n")
    message(FATAL_ERROR "${host} did not work as expected:\n${last_output}")
  endif()
  message(STATUS "${host}: ${last_output}")
endfunction()

run("configuring the host" ${CMAKE_COMMAND} -S "${HOST_SOURCE}" -B "${WORK_DIR}/host"
    "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_CXX_COMPILER=${CXX}" "-DCMAKE_BUILD_TYPE=${BUILD_TYPE}")
run("building the host" ${CMAKE_COMMAND} --build "${WORK_DIR}/host" -j2)
check_host("${WORK_DIR}/host/package_host")

run("building the host with pkg-config" ${CXX} -std=c++17 ${cflags}
    "${HOST_SOURCE}/main.cpp" -o "${WORK_DIR}/package_host_pc" ${libs})
set(ENV{LD_LIBRARY_PATH} "${libdir}")
check_host("${WORK_DIR}/package_host_pc")

# SANE's test backend (SANE_CONFIG_DIR of the test environment), the worker of the prefix.
unset(ENV{SCANSIONE_SANE_WORKER})
set(ENV{SCANSIONE_SANE} 1)
set(ENV{XDG_CONFIG_HOME} "${WORK_DIR}/config")
file(WRITE "${WORK_DIR}/config/Componenti/Scansione.conf" "[Scansione]\nDefaultSource=0\n")
run("listing SANE's devices with the installed scansione-batch" "${prefix}/bin/scansione-batch"
    --list)
if(NOT last_output MATCHES "0: [^\n]*\\(test:0\\)\n")
  message(FATAL_ERROR "the installed scansione-batch lists no SANE device:\n${last_output}")
endif()
run("a session on SANE through the installed library" "${WORK_DIR}/package_host_pc" "${ini}")
if(NOT last_output MATCHES "sources=2\n" OR NOT last_output MATCHES "session=shown code=\n")
  message(FATAL_ERROR "the host did not reach SANE through the installed library:\n${last_output}")
endif()
set(ENV{SCANSIONE_SANE} 0)

# The example host of the kit, from its installed copy, both ways.
file(COPY "${prefix}/${kit}/examples/host" DESTINATION "${WORK_DIR}/example")
run("configuring the example host" ${CMAKE_COMMAND} -S "${WORK_DIR}/example/host"
    -B "${WORK_DIR}/example/build" "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_CXX_COMPILER=${CXX}")
run("building the example host" ${CMAKE_COMMAND} --build "${WORK_DIR}/example/build")
find_program(MAKE_PROGRAM make REQUIRED)
run("building the example host with its Makefile" ${MAKE_PROGRAM} -C "${WORK_DIR}/example/host"
    "CXX=${CXX}")
foreach(host "${WORK_DIR}/example/build/scan-host" "${WORK_DIR}/example/host/scan-host")
  execute_process(COMMAND "${host}" "${ini}" RESULT_VARIABLE result OUTPUT_VARIABLE out
                  ERROR_VARIABLE err)
  if(NOT result EQUAL 1 OR NOT err MATCHES "no session: SCAN_NOT_AVAILABLE")
    message(FATAL_ERROR "${host} did not run as expected (${result}):\n${out}${err}")
  endif()
endforeach()

file(REMOVE_RECURSE "${WORK_DIR}")
