# Tests of the exerciser: its pieces in process, and the program end to end
# (linkhub with usblink over the virtual bus, devsim) through the shell and a
# pseudo-terminal.
set(PROTOPROBE_TESTS ${CMAKE_CURRENT_SOURCE_DIR}/tests)

vln_add_test(NAME protoprobe_unit_test
  SOURCES ${PROTOPROBE_TESTS}/protoprobe_unit_test.cpp
  LIBS protoprobe_core
  LABELS unit asan)
