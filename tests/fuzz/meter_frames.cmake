qv_fuzzer(fuzz_meter_frames SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_meter_frames.cpp DEPS qv_meter)
