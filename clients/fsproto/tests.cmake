# The transfer protocol alone, with a scripted device and the test's clock.
vln_add_test(NAME fsproto_transfer_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/file_transfer_test.cpp
  LIBS fsproto_transfer
  LABELS unit asan)
