qv_fuzzer(fuzz_ok_parse SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_ok_parse.cpp DEPS qv_export)
