# The parameter database service's answers, request by request.
vln_add_test(NAME devsim_pardb_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/pardb_service_test.cpp
  LIBS devsim_core
  LABELS unit asan)
