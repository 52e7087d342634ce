# Tests of pardbproto: against the stand-in server (the chunks on the pipe,
# the reply rules), end to end through the linkhub program and usblink to a
# device of the test process, and a registration stress.
set(PARDBPROTO_TESTS ${CMAKE_CURRENT_SOURCE_DIR}/tests)

vln_add_test(NAME pardbproto_test
  SOURCES ${PARDBPROTO_TESTS}/pardbproto_test.cpp
  LIBS pardbproto vln_testsupport devsim_core plat
  LABELS unit asan concurrency)
target_include_directories(pardbproto_test PRIVATE ${PARDBPROTO_TESTS})

if(TARGET linkhub AND TARGET devsim AND TARGET usblink)
  vln_add_test(NAME pardbproto_road_test
    SOURCES ${PARDBPROTO_TESTS}/pardbproto_road_test.cpp
    LIBS pardbproto e2e_road vln_testsupport
    LABELS e2e asan)
  target_include_directories(pardbproto_road_test PRIVATE ${PARDBPROTO_TESTS})
  vln_test_depends(pardbproto_road_test linkhub usblink devsim)

  vln_add_test(NAME pardbproto_stress_test
    SOURCES ${PARDBPROTO_TESTS}/pardbproto_stress_test.cpp
    LIBS pardbproto e2e_road plat vln_testsupport
    LABELS e2e concurrency)
  target_include_directories(pardbproto_stress_test PRIVATE ${PARDBPROTO_TESTS})
  vln_test_depends(pardbproto_stress_test linkhub usblink devsim)
endif()

# The reply rules under libFuzzer (a corpus replay in the other trees).
vln_add_fuzz(TARGET reply LIBS svcwire)
target_include_directories(pardbproto_reply_fuzz PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
