# PNG codec against libpng on the same pictures, same zlib level.
find_package(PNG REQUIRED)
add_executable(bench_png ${CMAKE_CURRENT_LIST_DIR}/png_bench.cpp)
target_link_libraries(bench_png PRIVATE qv_imaging PNG::PNG benchmark::benchmark)
