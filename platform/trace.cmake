# Tests of the diagnostic trace.
vln_add_test(NAME trace_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/trace_test.cpp
  LIBS plat LABELS unit concurrency)
