# Tests of the ground floor's helpers.
vln_add_test(NAME base_byte_reader_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/byte_reader_test.cpp
  LIBS vlnbase
  LABELS unit asan)
vln_add_test(NAME base_utf8_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/utf8_test.cpp
  LIBS vlnbase
  LABELS unit asan)

# The UTF-8 decoder takes device texts: fuzzed (label fuzz), the seeds
# replayed elsewhere.
vln_add_fuzz(TARGET utf8 LIBS vlnbase)
