# devsim's tests: the device end of the link, its services and fault knobs,
# the in-process media that hosts devices for the server's tests, and the
# devsim program's pieces.
set(DEVSIM_TESTS ${CMAKE_CURRENT_LIST_DIR}/tests)

# Every case on the device's own thread and driven by a bus thread.
vln_add_test(NAME devsim_device_test
  SOURCES ${DEVSIM_TESTS}/device_test.cpp
  LIBS devsim_core
  LABELS unit asan concurrency)

vln_add_test(NAME devsim_in_process_media_test
  SOURCES ${DEVSIM_TESTS}/in_process_media_test.cpp
  LIBS devsim_core
  LABELS unit concurrency)

vln_add_test(NAME devsim_fault_injector_test
  SOURCES ${DEVSIM_TESTS}/fault_injector_test.cpp
  LIBS devsim_core
  LABELS unit)

# The services, request by request.
vln_add_test(NAME core_service_test
  SOURCES ${DEVSIM_TESTS}/core_service_test.cpp
  LIBS devsim_core
  LABELS unit asan)

vln_add_test(NAME devsim_pardb_service_test
  SOURCES ${DEVSIM_TESTS}/pardb_service_test.cpp
  LIBS devsim_core
  LABELS unit asan)

vln_add_test(NAME devsim_scope_service_test
  SOURCES ${DEVSIM_TESTS}/scope_service_test.cpp
  LIBS devsim_core scopecodec
  LABELS unit asan)

vln_add_test(NAME devsim_bench_echo_service_test
  SOURCES ${DEVSIM_TESTS}/bench_echo_service_test.cpp
  LIBS devsim_core LABELS unit asan concurrency)

# The devsim program's pieces: the vbus transport and the command line.
vln_add_test(NAME devsim_vbus_transport_test
  SOURCES ${DEVSIM_TESTS}/vbus_transport_test.cpp
  LIBS devsim_core LABELS unit asan concurrency)
vln_add_test(NAME devsim_options_test
  SOURCES ${DEVSIM_TESTS}/devsim_options_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/src/main/DevsimOptions.cpp
  LIBS devsim_core plat translayer LABELS unit)
target_include_directories(devsim_options_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/src/main)
