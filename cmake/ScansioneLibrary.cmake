# One static library per folder. Sources include each other as "folder/Header.h" from the
# source root. The folder libraries are not installed: hosts get them through the shared
# library of cmake/ScansionePackage.cmake, which links them whole and shows only what is
# marked SCANSIONE_EXPORT; so everything here is compiled with hidden visibility.
set(SCANSIONE_LIBRARIES "" CACHE INTERNAL "")

# Install rules without a component of their own (the programs) belong to the program package.
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME scansione)
# Helper programs that the library starts, never run by a person, go here, installed with
# COMPONENT library: they belong with the library (package libscansione2), not the programs.
set(SCANSIONE_INSTALL_LIBEXECDIR ${CMAKE_INSTALL_LIBEXECDIR}/scansione)

# OUTSIDE_LIBRARY: a library of a helper program only, kept out of the shared library (the SANE
# code, which only the SANE worker program links).
function(scansione_library name)
  cmake_parse_arguments(ARG "OUTSIDE_LIBRARY" "" "SOURCES;HEADERS;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES} ${ARG_HEADERS})
  target_include_directories(${name} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>)
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
  target_compile_options(${name} PRIVATE ${SCANSIONE_WARNINGS})
  if(SCANSIONE_SANITIZE)
    # Instrumented archives need the sanitizer runtimes in whatever links them.
    target_link_options(${name} INTERFACE -fsanitize=address,undefined)
  endif()
  set_target_properties(${name} PROPERTIES OUTPUT_NAME scansione_${name}
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  if(NOT ARG_OUTSIDE_LIBRARY)
    set(SCANSIONE_LIBRARIES ${SCANSIONE_LIBRARIES} ${name} CACHE INTERNAL "")
  endif()
endfunction()

# A folder's library from every .cpp and .h in it (helpers add files without touching lists).
function(scansione_folder_library name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.qrc)
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  scansione_library(${name} SOURCES ${sources} HEADERS ${headers} ${ARGN})
endfunction()
