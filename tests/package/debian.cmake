# The Debian packages of ./dev package: made by CPack from the build tree into a private folder,
# judged by lintian, their contents and dependencies checked, and the installed tree of the
# program package validated by appstreamcli as a software centre would read it. Run by CTest
# through cmake -P. Inputs: BUILD_DIR, WORK_DIR, CPACK, APP_ID, VERSION, SOVERSION.
cmake_minimum_required(VERSION 3.25)

include(${CMAKE_CURRENT_LIST_DIR}/common.cmake)
require_tools(lintian dpkg-deb dpkg-shlibdeps appstreamcli file)
if(tools_missing)
  return()
endif()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
run("cpack" ${CPACK} --config "${BUILD_DIR}/CPackConfig.cmake" -B "${WORK_DIR}")

set(deb_version ${VERSION}-1)
set(program_deb "${WORK_DIR}/scansione_${deb_version}_amd64.deb")
set(library_deb "${WORK_DIR}/libscansione${SOVERSION}_${deb_version}_amd64.deb")
set(dev_deb "${WORK_DIR}/libscansione-dev_${deb_version}_amd64.deb")

# Warnings that stay, each for a reason:
#   initial-upload-closes-no-bugs  a first Debian upload closes its ITP bug; there is none.
#   maintscript-calls-ldconfig     CPack writes ldconfig calls beside the ldconfig trigger.
set(accepted_warnings initial-upload-closes-no-bugs maintscript-calls-ldconfig)
execute_process(COMMAND lintian "${program_deb}" "${library_deb}" "${dev_deb}"
                OUTPUT_VARIABLE report ERROR_VARIABLE report)
string(REPLACE "\n" ";" lines "${report}")
set(faults "")
foreach(line IN LISTS lines)
  if(line MATCHES "^([EW]): [^ ]+ ([a-z0-9-]+)")
    if(CMAKE_MATCH_1 STREQUAL "E" OR NOT CMAKE_MATCH_2 IN_LIST accepted_warnings)
      list(APPEND faults "${line}")
    endif()
  endif()
endforeach()
if(faults)
  list(JOIN faults "\n" faults)
  message(FATAL_ERROR "lintian:\n${faults}")
endif()
message(STATUS "lintian:\n${report}")

function(expect_files deb)
  run("dpkg-deb -c" dpkg-deb -c "${deb}")
  foreach(path ${ARGN})
    string(FIND "${last_output}" " ./${path}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "${deb} lacks ${path}:\n${last_output}")
    endif()
  endforeach()
endfunction()
expect_files("${program_deb}" usr/bin/scansione usr/bin/scansione-batch
  usr/share/applications/${APP_ID}.desktop usr/share/metainfo/${APP_ID}.metainfo.xml
  usr/share/icons/hicolor/scalable/apps/scansione.svg
  usr/share/man/man1/scansione.1.gz usr/share/man/man1/scansione-batch.1.gz
  etc/scansione/scanner.ini usr/share/doc/scansione/copyright)
expect_files("${library_deb}" usr/lib/x86_64-linux-gnu/libscansione.so.${SOVERSION}
  usr/libexec/scansione/scansione-sane-worker usr/libexec/scansione/scansione-ocr-worker)
expect_files("${dev_deb}" usr/lib/x86_64-linux-gnu/libscansione.so
  usr/lib/x86_64-linux-gnu/pkgconfig/scansione.pc
  usr/lib/x86_64-linux-gnu/cmake/Scansione/ScansioneConfigVersion.cmake
  usr/include/scansione/scan_window/FormScansione.h)

# dpkg-shlibdeps found the libraries the programs and the library load. The programs load the
# component from the library package, which they need in its exact version; libtiff, qpdf and
# libsane1 (the worker's) come with the library package.
run("dpkg-deb -f" dpkg-deb -f "${program_deb}" Depends)
foreach(package libqt6widgets6 "libscansione${SOVERSION} \\(= ${deb_version}\\)")
  if(NOT last_output MATCHES "(^|, )${package}")
    message(FATAL_ERROR "scansione does not depend on ${package}: ${last_output}")
  endif()
endforeach()
if(last_output MATCHES "libsane")
  message(FATAL_ERROR "scansione depends on libsane itself: ${last_output}")
endif()
run("dpkg-deb -f" dpkg-deb -f "${library_deb}" Depends)
foreach(package libtiff6 libqpdf29 libsane1 libtesseract5 icc-profiles-free)
  if(NOT last_output MATCHES "(^|, )${package}( |,|$)")
    message(FATAL_ERROR "libscansione${SOVERSION} does not depend on ${package}: ${last_output}")
  endif()
endforeach()
# The OCR worker's language and orientation data, and Qt's Italian texts.
run("dpkg-deb -f" dpkg-deb -f "${library_deb}" Recommends)
string(STRIP "${last_output}" last_output) # the last name ends the field, before its newline
foreach(package tesseract-ocr-ita tesseract-ocr-osd qt6-translations-l10n)
  if(NOT last_output MATCHES "(^|, )${package}( |,|$)")
    message(FATAL_ERROR "libscansione${SOVERSION} does not recommend ${package}: ${last_output}")
  endif()
endforeach()

# The desktop entry, icon and metadata as installed: the metadata names the entry, the entry
# the icon.
run("dpkg-deb -x" dpkg-deb -x "${program_deb}" "${WORK_DIR}/root")
run("appstreamcli validate-tree" appstreamcli validate-tree --no-net "${WORK_DIR}/root")
