# One meter, a 31-day quarter-hourly range read from meter-sim over TCP.
add_executable(bench_read_meter ${CMAKE_CURRENT_LIST_DIR}/read_meter.cpp)
target_link_libraries(bench_read_meter PRIVATE qv_meter qv_meter_sim)
