# Tests of the ground floor's helpers.
vln_add_test(NAME base_byte_reader_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/byte_reader_test.cpp
  LIBS vlnbase
  LABELS unit asan)
