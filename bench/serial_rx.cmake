# Serial receive path: bytes through a pty pair into OnRxChar, and an idle port.
add_executable(bench_serial_rx ${CMAKE_CURRENT_LIST_DIR}/serial_rx.cpp)
target_link_libraries(bench_serial_rx PRIVATE qv_serial util)
