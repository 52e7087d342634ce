# The transfer protocol alone, with a scripted device and the test's clock.
vln_add_test(NAME fsproto_file_transfer_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/file_transfer_test.cpp
  LIBS fsproto_transfer vln_testsupport
  LABELS unit asan)

# The library on the stand-in server, whose channels run the devsim file
# server right on their pipes.
vln_add_test(NAME fsproto_scenarios_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/fsproto_scenarios_test.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/tests/FakeHubFileDevice.cpp
  LIBS fsproto vln_testsupport devsim_core plat
  LABELS unit asan concurrency)
target_include_directories(fsproto_scenarios_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tests)

# The same scenarios on the whole road: the linkhub program, usblink over the
# virtual bus, a device of the test process.
if(TARGET linkhub AND TARGET devsim AND TARGET usblink)
  vln_add_test(NAME fsproto_scenarios_test_road
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/fsproto_scenarios_test.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/tests/RoadFileDevice.cpp
    LIBS fsproto e2e_road clientcommon devsim_core plat vln_testsupport
    LABELS e2e TIMEOUT 900)
  target_include_directories(fsproto_scenarios_test_road PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tests)
endif()

# The reply decoder under libFuzzer (a corpus replay in the other trees).
vln_add_fuzz(TARGET reply LIBS fsproto_transfer)

# Loads the library by path (it must not be linked) so that unloading it runs
# its destructors.
vln_add_test(NAME fsproto_unload_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/fsproto_unload_test.cpp
  LIBS vln_testsupport devsim_core plat
  LABELS unit asan)
target_compile_definitions(fsproto_unload_test PRIVATE FSPROTO_LIBRARY="$<TARGET_FILE:fsproto>")
target_include_directories(fsproto_unload_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/include)
add_dependencies(fsproto_unload_test fsproto)
vln_test_depends(fsproto_unload_test fsproto)

vln_add_test(NAME fsproto_pipe_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/fsproto_pipe_test.cpp
  LIBS fsproto vln_testsupport devsim_core plat
  LABELS unit asan)
