# One static library per folder. Sources include each other as "folder/Header.h" from the
# source root; installed headers land in include/scansione/<folder>/ and are reachable both as
# <scansione/folder/Header.h> and, for our own headers' includes, as "folder/Header.h".
set(SCANSIONE_LIBRARIES "" CACHE INTERNAL "")

function(scansione_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;HEADERS;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES} ${ARG_HEADERS})
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/scansione>)
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
  target_compile_options(${name} PRIVATE ${SCANSIONE_WARNINGS})
  if(SCANSIONE_SANITIZE)
    # Instrumented archives need the sanitizer runtimes in whatever links them, installed
    # hosts included.
    target_link_options(${name} INTERFACE -fsanitize=address,undefined)
  endif()
  set_target_properties(${name} PROPERTIES OUTPUT_NAME scansione_${name} EXPORT_NAME ${name})
  install(TARGETS ${name} EXPORT ScansioneTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  install(FILES ${ARG_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/scansione/${folder})
  set(SCANSIONE_LIBRARIES ${SCANSIONE_LIBRARIES} ${name} CACHE INTERNAL "")
endfunction()

# A folder's library from every .cpp and .h in it (helpers add files without touching lists).
function(scansione_folder_library name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.qrc)
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  scansione_library(${name} SOURCES ${sources} HEADERS ${headers} ${ARGN})
endfunction()
