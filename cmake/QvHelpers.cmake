# qv_library(NAME folder SOURCES ... DEPS ...): one library target per src/ folder.
function(qv_library name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${A_DEPS} Threads::Threads)
endfunction()

# qv_test(NAME LABEL label SOURCES ... DEPS ... [ENVIRONMENT VAR=value ...]): a
# GoogleTest executable whose tests are registered with CTest under one label
# (the folder's name), run with the given environment.
function(qv_test name)
  cmake_parse_arguments(A "" "LABEL;TIMEOUT" "SOURCES;DEPS;ENVIRONMENT" ${ARGN})
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 300)
  endif()
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_DEPS} qv_test_support GTest::gtest GTest::gtest_main GTest::gmock)
  gtest_discover_tests(${name}
    PROPERTIES LABELS ${A_LABEL} TIMEOUT ${A_TIMEOUT} ENVIRONMENT "${A_ENVIRONMENT}"
    DISCOVERY_TIMEOUT 120
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
endfunction()

# qv_fuzzer(NAME SOURCES ... DEPS ...): a libFuzzer target (QV_FUZZ builds only).
function(qv_fuzzer name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_DEPS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set_property(GLOBAL APPEND PROPERTY QV_FUZZERS ${name})
endfunction()
