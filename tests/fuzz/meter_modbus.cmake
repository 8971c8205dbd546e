qv_fuzzer(fuzz_meter_modbus SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_meter_modbus.cpp DEPS qv_meter)
