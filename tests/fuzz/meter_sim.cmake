# The meter simulator's line: link frames, AT command lines, Modbus requests.
qv_fuzzer(fuzz_meter_sim SOURCES ${PROJECT_SOURCE_DIR}/tests/tools/fuzz_meter_sim.cpp
  DEPS qv_meter_sim)
