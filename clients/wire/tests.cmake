# Tests of the shared wire helpers.
vln_add_test(NAME svcwire_byte_reader_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/byte_reader_test.cpp
  LIBS svcwire
  LABELS unit asan)
