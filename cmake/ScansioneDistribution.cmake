# What an installed Scansione carries beyond the library of ScansionePackage.cmake: the desktop
# entry, icon and AppStream metadata, the manual pages, the settings file, the documentation;
# and the Debian packages that CPack makes of it all (./dev package).
#
# Packages, by install component:
#   scansione         (component scansione) the programs and everything a person uses
#   libscansione2     (component library)   the shared library and the SANE worker it starts
#   libscansione-dev  (component dev)       headers, CMake package, pkg-config file, the
#                                           example host and the API reference

set(SCANSIONE_APP_ID it.scansione.scansione)
set(SCANSIONE_DEBIAN_REVISION 1)
set(SCANSIONE_DEBIAN_VERSION ${PROJECT_VERSION}-${SCANSIONE_DEBIAN_REVISION})
set(SCANSIONE_PACKAGE_MAINTAINER "Scansione developers <scansione@example.org>" CACHE STRING
    "The Maintainer field of the Debian packages and their changelog")

install(FILES ${PROJECT_SOURCE_DIR}/desktop/${SCANSIONE_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/desktop/${SCANSIONE_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/metainfo)
install(FILES ${PROJECT_SOURCE_DIR}/desktop/scansione.svg
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps)
install(FILES ${PROJECT_SOURCE_DIR}/examples/virtual-scanners.json
              ${PROJECT_SOURCE_DIR}/examples/scanner.ini
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/scansione/examples)

# The host kit: an example host to build against the installed library (CMake or pkg-config),
# and the API reference, HTML made by Doxygen from the comments of the installed headers.
set(SCANSIONE_DEV_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/libscansione-dev)
install(FILES ${PROJECT_SOURCE_DIR}/examples/host/main.cpp
              ${PROJECT_SOURCE_DIR}/examples/host/CMakeLists.txt
              ${PROJECT_SOURCE_DIR}/examples/host/Makefile
        DESTINATION ${SCANSIONE_DEV_DOCDIR}/examples/host COMPONENT dev)
find_program(DOXYGEN_PROGRAM doxygen REQUIRED)
set(api_inputs "")
foreach(header IN LISTS SCANSIONE_INSTALLED_HEADERS)
  string(APPEND api_inputs " \\\n  \"${PROJECT_SOURCE_DIR}/${header}\"")
endforeach()
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/doc/Doxyfile CONTENT "PROJECT_NAME = libscansione
PROJECT_NUMBER = ${PROJECT_VERSION}
PROJECT_BRIEF = \"The Scansione scan window for Qt hosts\"
OUTPUT_DIRECTORY = ${PROJECT_BINARY_DIR}/doc
INPUT = ${api_inputs}
STRIP_FROM_PATH = ${PROJECT_SOURCE_DIR}
FULL_PATH_NAMES = YES
EXTRACT_ALL = YES
EXTRACT_PRIVATE = NO
SEARCHENGINE = NO
HIDE_UNDOC_MEMBERS = NO
JAVADOC_AUTOBRIEF = YES
MACRO_EXPANSION = YES
PREDEFINED = SCANSIONE_EXPORT= Q_OBJECT= Q_SIGNALS=signals
GENERATE_HTML = YES
GENERATE_LATEX = NO
HAVE_DOT = NO
CLASS_GRAPH = NO
HTML_TIMESTAMP = NO
QUIET = YES
WARN_IF_UNDOCUMENTED = NO
")
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/doc/html/index.html
  COMMAND ${DOXYGEN_PROGRAM} ${PROJECT_BINARY_DIR}/doc/Doxyfile
  DEPENDS ${PROJECT_BINARY_DIR}/doc/Doxyfile ${SCANSIONE_INSTALLED_HEADERS}
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} VERBATIM)
add_custom_target(scansione_api_reference ALL DEPENDS ${PROJECT_BINARY_DIR}/doc/html/index.html)
install(DIRECTORY ${PROJECT_BINARY_DIR}/doc/html/ DESTINATION ${SCANSIONE_DEV_DOCDIR}/html
        COMPONENT dev)

# The settings file at its fixed path, so that the programs run as soon as they are installed.
# /etc belongs to the system only for a /usr install; any other prefix keeps it inside.
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(etc /etc/scansione)
  else()
    set(etc \"\${CMAKE_INSTALL_PREFIX}/etc/scansione\")
  endif()
  file(INSTALL \"${PROJECT_SOURCE_DIR}/examples/scanner.ini\" DESTINATION \"\${etc}\")
")

# Manual pages and the Debian changelog are installed compressed, as Debian wants them
# (gzip -9n: no name or time stamp, so the same source gives the same file).
find_program(GZIP_PROGRAM gzip REQUIRED)
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in
               ${PROJECT_BINARY_DIR}/packaging/changelog.Debian @ONLY)
set(compressed "")
foreach(source ${PROJECT_SOURCE_DIR}/man/scansione.1 ${PROJECT_SOURCE_DIR}/man/scansione-batch.1
               ${PROJECT_BINARY_DIR}/packaging/changelog.Debian)
  get_filename_component(name ${source} NAME)
  set(output ${PROJECT_BINARY_DIR}/packaging/${name}.gz)
  add_custom_command(OUTPUT ${output}
    COMMAND ${GZIP_PROGRAM} -9nc ${source} > ${output}
    DEPENDS ${source} VERBATIM)
  list(APPEND compressed ${output})
endforeach()
add_custom_target(scansione_compressed_docs ALL DEPENDS ${compressed})
install(FILES ${PROJECT_BINARY_DIR}/packaging/scansione.1.gz
              ${PROJECT_BINARY_DIR}/packaging/scansione-batch.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Every package carries the copyright file and the changelog in its own documentation folder.
foreach(component_package scansione:scansione library:libscansione${SCANSIONE_SOVERSION} dev:libscansione-dev)
  string(REPLACE ":" ";" pair ${component_package})
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
                ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()

# The settings file is the administrator's: dpkg keeps their changes on upgrade.
file(WRITE ${PROJECT_BINARY_DIR}/packaging/conffiles "/etc/scansione/scanner.ini\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME scansione)
set(CPACK_PACKAGE_VENDOR "Scansione")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
# Install as root under /usr into a staging folder, so /etc paths land in the package.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL scansione library dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${SCANSIONE_DEBIAN_REVISION})
set(CPACK_DEBIAN_PACKAGE_SOURCE scansione)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${SCANSIONE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The programs link the library of the library package, staged beside their own package:
# dpkg-shlibdeps looks for it there (the programs' package names that dependency itself).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ../library${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_SCANSIONE_PACKAGE_NAME scansione)
set(CPACK_DEBIAN_SCANSIONE_PACKAGE_SECTION graphics)
# The programs link the library and scan through the SANE worker program, which the library
# package holds (with the dependency on libsane1): the exact version, as the programs use the
# library's own code beside its interface and the two speak a protocol of their own.
set(CPACK_DEBIAN_SCANSIONE_PACKAGE_DEPENDS
    "libscansione${SCANSIONE_SOVERSION} (= ${SCANSIONE_DEBIAN_VERSION})")
# Network scanners (eSCL, WSD) reach SANE through this backend.
set(CPACK_DEBIAN_SCANSIONE_PACKAGE_SUGGESTS "sane-airscan")
set(CPACK_DEBIAN_SCANSIONE_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/conffiles)
set(CPACK_DEBIAN_SCANSIONE_DESCRIPTION
"acquire documents from scanners into PDF, TIFF or JPEG
Scansione opens a scan window in which pages are acquired from a SANE scanner
(USB, SCSI or network) or a virtual one, one at a time or as a feeder batch,
on one side or both; they can be looked through, rotated, deleted or acquired
again before the document is written as a multi-page TIFF, a PDF or one JPEG
a page.
.
This package holds the program scansione, its headless sibling
scansione-batch for scripts and machines without a display, the desktop
entry and the manual pages.")

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libscansione${SCANSIONE_SOVERSION})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
# The sRGB profile a PDF/A document embeds as its output intent (/usr/share/color/icc/sRGB.icc).
set(CPACK_DEBIAN_LIBRARY_PACKAGE_DEPENDS "icc-profiles-free")
# The ldconfig trigger dpkg wants for a library in a public folder. CPack also writes
# postinst/postrm scripts that call ldconfig themselves (lintian: maintscript-calls-ldconfig),
# which the trigger makes redundant but not wrong.
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/triggers)
# The OCR worker links libtesseract (dpkg-shlibdeps adds libtesseract5); Italian is the default
# language, and the orientation of a page's text is found with tesseract's "osd" data. Qt's own
# Italian texts for the dialogs Qt draws (the file dialog, standard buttons), which the programs
# and the hosts that ask load; without them they stay English.
set(CPACK_DEBIAN_LIBRARY_PACKAGE_RECOMMENDS
    "tesseract-ocr-ita, tesseract-ocr-osd, qt6-translations-l10n")
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION
"scan window library for Qt applications
libscansione gives a Qt application the Scansione scan window: one call shows
it, the user acquires pages from a SANE or virtual scanner, and the call
returns the PDF, TIFF or JPEG files written.
.
This package holds the shared library and the programs that run SANE and
text recognition for it, each in a process of its own.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libscansione-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
    "libscansione${SCANSIONE_SOVERSION} (= ${SCANSIONE_DEBIAN_VERSION}), qt6-base-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION
"scan window library for Qt applications - development files
libscansione gives a Qt application the Scansione scan window: one call shows
it, the user acquires pages from a SANE or virtual scanner, and the call
returns the PDF, TIFF or JPEG files written.
.
This package holds the headers, the CMake package (find_package(Scansione)),
the pkg-config file, an example host and the API reference in HTML.")

include(CPack)
