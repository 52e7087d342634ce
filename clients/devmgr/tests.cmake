# Tests of devmgr against a stand-in server that runs the devsim core service
# on each channel's pipe (FakeHub of the shared test support).

vln_add_test(NAME devmgr_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/devmgr_test.cpp
  LIBS devmgr vln_testsupport devsim_core
  LABELS unit asan concurrency)

# The connection server's core in the test process, with devices running the
# devsim services over the in-process media (LinkhubHost of the shared test
# support).

vln_add_test(NAME devmgr_e2e_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/devmgr_e2e_test.cpp
  LIBS devmgr vln_testsupport
  LABELS e2e asan)

# The whole road: the linkhub program, usblink over the virtual bus, devsim.
if(TARGET linkhub AND TARGET devsim AND TARGET usblink)
  vln_add_test(NAME devmgr_road_test
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/devmgr_road_test.cpp
    LIBS devmgr e2e_road
    LABELS e2e)
endif()

# A reply's chunks joined as the channel joins them, then each request's
# rules on what came.
vln_add_fuzz(TARGET reply LIBS clientcommon)
target_include_directories(devmgr_reply_fuzz PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR}/include
  ${PROJECT_SOURCE_DIR}/tests/support/include)
