# Tests of the device end of the link, its service helpers and the in-process
# media that hosts devices for the server's tests.
vln_add_test(NAME devsim_device_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/device_test.cpp
  LIBS devsim_core
  LABELS unit asan)

vln_add_test(NAME devsim_inproc_media_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/inproc_media_test.cpp
  LIBS devsim_core
  LABELS unit concurrency)

vln_add_test(NAME devsim_fault_injector_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/fault_injector_test.cpp
  LIBS devsim_core
  LABELS unit)

vln_add_test(NAME devsim_scope_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/scope_capture_test.cpp
  LIBS devsim_core scopecodec
  LABELS unit asan)
