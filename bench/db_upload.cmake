# A year of quarter-hourly rows uploaded to the MariaDB test server, beside a
# minimal client loop and LOAD DATA LOCAL INFILE.
add_executable(bench_db_upload ${CMAKE_CURRENT_LIST_DIR}/db_upload.cpp)
target_link_libraries(bench_db_upload PRIVATE qv_export)
