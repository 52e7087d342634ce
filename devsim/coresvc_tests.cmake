# Tests of the core management service.
vln_add_test(NAME core_service_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/core_service_test.cpp
  LIBS devsim_core
  LABELS unit asan)
