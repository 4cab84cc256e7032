# The INI reader's fuzzer. Its entry function also runs in the ordinary build: a replay
# program feeds it the seed corpus (and any input the fuzzer ever kept) as one CTest case.
set(ini_fuzz_dir ${CMAKE_CURRENT_SOURCE_DIR}/settings/fuzz)
set(ini_corpus_dir ${CMAKE_CURRENT_SOURCE_DIR}/settings/ini-corpus)

add_executable(ini_fuzz_replay ${ini_fuzz_dir}/IniFuzzEntry.cpp ${ini_fuzz_dir}/ReplayMain.cpp)
target_link_libraries(ini_fuzz_replay PRIVATE settings)
target_compile_options(ini_fuzz_replay PRIVATE ${SCANSIONE_WARNINGS})
add_test(NAME ini_fuzz_replay COMMAND ini_fuzz_replay ${ini_corpus_dir})
set_tests_properties(ini_fuzz_replay PROPERTIES LABELS unit TIMEOUT 300
  ENVIRONMENT "${SCANSIONE_TEST_ENV}")

if(SCANSIONE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "SCANSIONE_FUZZ needs clang (libFuzzer): configure with CMAKE_CXX_COMPILER=clang++")
  endif()
  # The fuzzer builds the reader's own sources with coverage instrumentation, so the
  # ordinary libraries and the other programs of this build stay as they are.
  file(GLOB ini_fuzz_sources CONFIGURE_DEPENDS
       ${PROJECT_SOURCE_DIR}/settings/*.cpp ${PROJECT_SOURCE_DIR}/common/*.cpp)
  add_executable(ini_fuzz ${ini_fuzz_dir}/IniFuzzEntry.cpp ${ini_fuzz_sources})
  target_include_directories(ini_fuzz PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(ini_fuzz PRIVATE Qt6::Core)
  target_compile_options(ini_fuzz PRIVATE -g -fsanitize=fuzzer,address,undefined
                         -fno-sanitize-recover=undefined ${SCANSIONE_WARNINGS})
  target_link_options(ini_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
endif()

# The settings tests also check the shipped example file.
if(TARGET scan_settings_test)
  target_compile_definitions(scan_settings_test PRIVATE
    SCANSIONE_EXAMPLES_DIR="${PROJECT_SOURCE_DIR}/examples")
endif()
