# Tests of statproto: against the stand-in server (the message rules, the
# supervision, the registrations), end to end through the linkhub program and
# usblink to a device of the test process, and a registration stress.
set(STATPROTO_TESTS ${CMAKE_CURRENT_SOURCE_DIR}/tests)

vln_add_test(NAME statproto_test
  SOURCES ${STATPROTO_TESTS}/statproto_test.cpp
  LIBS statproto vln_testsupport devsim_core plat
  LABELS unit asan concurrency)
target_include_directories(statproto_test PRIVATE ${STATPROTO_TESTS})

if(TARGET linkhub AND TARGET devsim AND TARGET usblink)
  vln_add_test(NAME statproto_road_test
    SOURCES ${STATPROTO_TESTS}/statproto_road_test.cpp
    LIBS statproto e2e_road vln_testsupport
    LABELS e2e asan)
  target_include_directories(statproto_road_test PRIVATE ${STATPROTO_TESTS})
  vln_test_depends(statproto_road_test linkhub usblink devsim)

  vln_add_test(NAME statproto_stress_test
    SOURCES ${STATPROTO_TESTS}/statproto_stress_test.cpp
    LIBS statproto e2e_road plat vln_testsupport
    LABELS e2e concurrency)
  target_include_directories(statproto_stress_test PRIVATE ${STATPROTO_TESTS})
  vln_test_depends(statproto_stress_test linkhub usblink devsim)
endif()

# Loads the library by path (it must not be linked) so that unloading it runs
# its destructors.
vln_add_test(NAME statproto_unload_test
  SOURCES ${STATPROTO_TESTS}/statproto_unload_test.cpp
  LIBS vln_testsupport devsim_core plat
  LABELS unit asan)
target_compile_definitions(statproto_unload_test PRIVATE STATPROTO_LIBRARY="$<TARGET_FILE:statproto>")
target_include_directories(statproto_unload_test PRIVATE ${STATPROTO_TESTS} ${CMAKE_CURRENT_SOURCE_DIR}/include)
add_dependencies(statproto_unload_test statproto)
vln_test_depends(statproto_unload_test statproto)

# The reply dispatcher on its own, fed the chunks a device could send.
set(STATPROTO_HANDLER ${CMAKE_SOURCE_DIR}/clients/common/handler)
vln_add_fuzz(TARGET reply
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/src/StatusCmdProc.cpp ${STATPROTO_HANDLER}/ChannelHandler.cpp
  LIBS clientcommon translayer svcwire plat)
target_include_directories(statproto_reply_fuzz PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR}/include ${STATPROTO_HANDLER}
  ${PROJECT_SOURCE_DIR}/tests/support/include)
target_compile_definitions(statproto_reply_fuzz PRIVATE
  STATPROTO_BUILD VLN_CH_PROTOCOL=4 VLN_CH_ASSERT_FILE="statproto"
  VLN_CH_HANDLER_ASSERT_FILE="ProtStatusChHandler")
