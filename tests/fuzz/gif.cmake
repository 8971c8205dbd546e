# GIF reader: load, decode every frame, save, load again.
if(TARGET qv_imaging)
  qv_fuzzer(fuzz_gif SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_gif.cpp DEPS qv_imaging)
endif()
