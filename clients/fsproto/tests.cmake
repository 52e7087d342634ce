# The transfer protocol alone, with a scripted device and the test's clock.
vln_add_test(NAME fsproto_transfer_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/file_transfer_test.cpp
  LIBS fsproto_transfer
  LABELS unit asan)

# The library on the stand-in server, whose channels run the devsim file
# server right on their pipes.
vln_add_test(NAME fsproto_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/fsproto_scenarios_test.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/tests/FakeHubFileDevice.cpp
  LIBS fsproto vln_testsupport devsim_core plat
  LABELS unit asan)
target_include_directories(fsproto_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tests)
