# Tests of devmgr against a stand-in server that runs the devsim core service
# on each channel's pipe. The stand-in is a library so that the console's
# tests can use it too.
add_library(devmgr_fakehub STATIC ${CMAKE_CURRENT_SOURCE_DIR}/tests/FakeHub.cpp)
target_include_directories(devmgr_fakehub PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/tests)
target_link_libraries(devmgr_fakehub PUBLIC translayer devsim_core)

vln_add_test(NAME devmgr_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/devmgr_test.cpp
  LIBS devmgr devmgr_fakehub devsim_core
  LABELS unit asan concurrency)

# The connection server's core in the test process, with devices running the
# devsim core service over the in-process media: the road through the link
# protocol, for the end-to-end tests here and the console's.
add_library(devmgr_linkhubhost STATIC ${CMAKE_CURRENT_SOURCE_DIR}/tests/LinkhubHost.cpp)
target_include_directories(devmgr_linkhubhost PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/tests)
target_link_libraries(devmgr_linkhubhost PUBLIC linkhub_core devsim_core translayer)

vln_add_test(NAME devmgr_e2e_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/devmgr_e2e_test.cpp
  LIBS devmgr devmgr_linkhubhost
  LABELS e2e asan)

# The whole road: the linkhub program, usblink over the virtual bus, devsim.
if(TARGET linkhub AND TARGET devsim AND TARGET usblink)
  vln_add_test(NAME devmgr_road_test
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/devmgr_road_test.cpp
    LIBS devmgr e2e_road
    LABELS e2e)
endif()
