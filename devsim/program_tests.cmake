# Tests of the devsim program's pieces: the benchmark echo service, the vbus
# transport, the command line, and the program as a process.
vln_add_test(NAME devsim_bench_echo_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/bench_echo_test.cpp
  LIBS devsim_core LABELS unit asan concurrency)
vln_add_test(NAME devsim_vbus_transport_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/vbus_transport_test.cpp
  LIBS devsim_core LABELS unit asan concurrency)
vln_add_test(NAME devsim_options_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/devsim_options_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/src/main/DevsimOptions.cpp
  LIBS devsim_core plat translayer LABELS unit)
target_include_directories(devsim_options_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/src/main)
