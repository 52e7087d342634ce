# Tests of statproto: against the stand-in server (the message rules, the
# supervision, the registrations), end to end through the linkhub program and
# usblink to a device of the test process, and a registration stress.
set(STATPROTO_TESTS ${CMAKE_CURRENT_SOURCE_DIR}/tests)

vln_add_test(NAME statproto_test
  SOURCES ${STATPROTO_TESTS}/statproto_test.cpp
  LIBS statproto vln_testsupport devsim_core plat
  LABELS unit asan)
target_include_directories(statproto_test PRIVATE ${STATPROTO_TESTS})
