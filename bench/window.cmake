# The main window offscreen, read from again and again through its "LEER
# AHORA" button against a meter-sim process: its resident memory over the
# readings.
add_executable(bench_window ${CMAKE_CURRENT_LIST_DIR}/window.cpp)
target_link_libraries(bench_window PRIVATE qv_app_gui)
target_compile_definitions(bench_window PRIVATE QV_METER_SIM_EXE="$<TARGET_FILE:meter-sim>")
add_dependencies(bench_window meter-sim)
