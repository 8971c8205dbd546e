qv_fuzzer(fuzz_command_line SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_command_line.cpp DEPS qv_app_core)
