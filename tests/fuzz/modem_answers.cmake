qv_fuzzer(fuzz_modem_answers SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_modem_answers.cpp DEPS qv_meter)
