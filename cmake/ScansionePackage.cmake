# What a host installs and links: one shared library, libscansione.so.2, made of the folder
# libraries linked whole, in which only the classes marked SCANSIONE_EXPORT are visible; the
# headers of those classes; a CMake package with a version file; a pkg-config file.
include(CMakePackageConfigHelpers)

# The library's ABI version, apart from the program's version. 2: ScanSettings, which hosts
# allocate, grew a private pointer with out-of-line copy and destruction for the keys that
# come after its twelve fields (PDFA first); later keys go behind it without another break.
set(SCANSIONE_SOVERSION 2)

# The classes a host names: the window, the settings record, and what their public
# signatures name. Every project header these include is installed with them.
set(SCANSIONE_PUBLIC_HEADERS
  scan_window/FormScansione.h scan_window/WindowServices.h scan_window/QtTranslation.h
  settings/ScanSettings.h
  acquisition/ScanComponent.h component_base/ScanError.h writers/PdfWriter.h
  common/UserSettings.h acquisition/ComponentDialogs.h)

# `out` = the given headers and every "folder/Header.h" they include, transitively. A change
# to one of them configures again, so a new include is installed without editing this list.
function(scansione_header_closure out)
  set(pending ${ARGN})
  set(seen "")
  while(pending)
    list(POP_FRONT pending header)
    if(header IN_LIST seen)
      continue()
    endif()
    list(APPEND seen ${header})
    set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
      ${PROJECT_SOURCE_DIR}/${header})
    file(STRINGS ${PROJECT_SOURCE_DIR}/${header} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[^\"]*\"([^\"]+)\".*" "\\1" included "${line}")
      list(APPEND pending ${included})
    endforeach()
  endwhile()
  set(${out} ${seen} PARENT_SCOPE)
endfunction()

scansione_header_closure(SCANSIONE_INSTALLED_HEADERS ${SCANSIONE_PUBLIC_HEADERS})
list(SORT SCANSIONE_INSTALLED_HEADERS)
foreach(header IN LISTS SCANSIONE_INSTALLED_HEADERS)
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/${header}
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/scansione/${folder} COMPONENT dev)
endforeach()

# The library is the folder libraries' object files; linking the libraries too brings in what
# they need (Qt, libtiff, qpdf, libsane), while their archives add nothing the objects lack.
add_library(scansione_shared SHARED)
foreach(library IN LISTS SCANSIONE_LIBRARIES)
  target_sources(scansione_shared PRIVATE $<TARGET_OBJECTS:${library}>)
endforeach()
target_link_libraries(scansione_shared PRIVATE ${SCANSIONE_LIBRARIES}
  PUBLIC Qt6::Core Qt6::Gui Qt6::Widgets)
target_include_directories(scansione_shared INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
  # Hosts write <scansione/folder/Header.h>; the headers include each other as "folder/Header.h".
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/scansione>)
target_compile_features(scansione_shared INTERFACE cxx_std_17)
set_target_properties(scansione_shared PROPERTIES
  OUTPUT_NAME scansione EXPORT_NAME scansione
  VERSION ${SCANSIONE_SOVERSION}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}
  SOVERSION ${SCANSIONE_SOVERSION} AUTOMOC OFF)
if(SCANSIONE_SANITIZE)
  # An instrumented library needs the sanitizer runtimes loaded first, so hosts link them.
  target_link_options(scansione_shared INTERFACE -fsanitize=address,undefined)
else()
  # Every symbol the library needs is resolved when it is linked, not in the host.
  target_link_options(scansione_shared PRIVATE -Wl,--no-undefined)
endif()
add_library(Scansione::scansione ALIAS scansione_shared)

# The classes marked SCANSIONE_EXPORT in the installed headers are the library's whole
# interface. Hidden visibility keeps the rest of our code out of it; this version script also
# keeps out the template code the library instantiates from the C++ library, Qt and qpdf.
# Patterns are mangled names: members, vtable, typeinfo and thunks of each class.
set(exported_classes "")
# Free functions marked at the start of their declaration, their name on that line.
set(exported_functions "")
foreach(header IN LISTS SCANSIONE_INSTALLED_HEADERS)
  file(STRINGS ${PROJECT_SOURCE_DIR}/${header} declarations
       REGEX "^[ \t]*(class|struct)[ \t]+SCANSIONE_EXPORT[ \t]+[A-Za-z_]")
  foreach(declaration IN LISTS declarations)
    string(REGEX REPLACE ".*SCANSIONE_EXPORT[ \t]+([A-Za-z_0-9]+).*" "\\1" class "${declaration}")
    list(APPEND exported_classes ${class})
  endforeach()
  file(STRINGS ${PROJECT_SOURCE_DIR}/${header} declarations
       REGEX "^SCANSIONE_EXPORT[ \t][^(]*[ \t*&][A-Za-z_][A-Za-z_0-9]*\\(")
  foreach(declaration IN LISTS declarations)
    string(REGEX REPLACE "^[^(]*[ \t*&]([A-Za-z_][A-Za-z_0-9]*)\\(.*" "\\1" function
           "${declaration}")
    list(APPEND exported_functions ${function})
  endforeach()
endforeach()
set(version_script "{\n  global:\n")
foreach(class IN LISTS exported_classes)
  string(LENGTH ${class} length)
  set(c ${length}${class})
  string(APPEND version_script "    _ZN${c}*; _ZNK${c}*; _ZTV${c}; _ZTI${c}; _ZTS${c};\n"
                               "    _ZThn*_N${c}*; _ZThn*_NK${c}*; _ZTv*_N${c}*; _ZTv*_NK${c}*;\n")
endforeach()
foreach(function IN LISTS exported_functions)
  string(LENGTH ${function} length)
  string(APPEND version_script "    _Z${length}${function}*;\n")
endforeach()
string(APPEND version_script "  local: *;\n};\n")
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/libscansione.map CONTENT "${version_script}")
target_link_options(scansione_shared PRIVATE
  -Wl,--version-script=${PROJECT_BINARY_DIR}/libscansione.map)
set_property(TARGET scansione_shared APPEND PROPERTY LINK_DEPENDS
  ${PROJECT_BINARY_DIR}/libscansione.map)

install(TARGETS scansione_shared EXPORT ScansioneTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT dev)

set(SCANSIONE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Scansione)
install(EXPORT ScansioneTargets NAMESPACE Scansione:: DESTINATION ${SCANSIONE_CMAKE_DIR}
        COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/ScansioneConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ScansioneConfig.cmake INSTALL_DESTINATION ${SCANSIONE_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ScansioneConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ScansioneConfig.cmake
              ${PROJECT_BINARY_DIR}/ScansioneConfigVersion.cmake
        DESTINATION ${SCANSIONE_CMAKE_DIR} COMPONENT dev)

# scansione.pc names the prefix it is installed under, known only when installing
# (cmake --install --prefix, or /usr in the Debian package); @prefix@ is filled in then.
set(prefix "@prefix@")
set(SCANSIONE_PC_LIBS "")
if(SCANSIONE_SANITIZE)
  set(SCANSIONE_PC_LIBS " -fsanitize=address,undefined")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/scansione.pc.in ${PROJECT_BINARY_DIR}/scansione.pc.in
               @ONLY)
unset(prefix)
install(CODE "
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  # One file per destination, so that two installs running at once do not share it.
  string(MD5 key \"\$ENV{DESTDIR}\${prefix}\")
  set(pc \"${PROJECT_BINARY_DIR}/pkgconfig/\${key}/scansione.pc\")
  configure_file(\"${PROJECT_BINARY_DIR}/scansione.pc.in\" \"\${pc}\" @ONLY)
  file(INSTALL \"\${pc}\" DESTINATION \"\${prefix}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\")
" COMPONENT dev)
