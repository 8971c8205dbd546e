# GIF codec against giflib on the same files in the same run.
find_library(GIF_LIBRARY gif)
if(GIF_LIBRARY)
  add_executable(bench_gif ${CMAKE_CURRENT_LIST_DIR}/gif_bench.cpp)
  target_link_libraries(bench_gif PRIVATE qv_imaging ${GIF_LIBRARY})
endif()
