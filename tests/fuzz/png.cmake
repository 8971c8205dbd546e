qv_fuzzer(fuzz_png SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_png.cpp DEPS qv_imaging)
