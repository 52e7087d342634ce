# Tests of the OS layer, the test support other directories share, and the
# fuzz targets of its two file parsers.

# Shared by the RPC tests here and the channel client tests of translayer (and
# the server's and end-to-end tests): a private runtime dir per test, raw wire
# access, helper child processes.
add_library(rpc_testsupport STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/tests/rpc_fixture.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/tests/rpc_child.cpp)
target_include_directories(rpc_testsupport PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/tests)
target_link_libraries(rpc_testsupport PUBLIC plat GTest::gtest Threads::Threads)

# Message pipes, wake events, polling and the runtime directory.
vln_add_test(NAME plat_runtime_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/runtime_test.cpp
  LIBS plat LABELS unit)
vln_add_test(NAME plat_msgpipe_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/msgpipe_test.cpp
  LIBS plat LABELS unit asan)
vln_add_test(NAME plat_wake_poll_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/wake_poll_test.cpp
  LIBS plat LABELS unit concurrency)

# The process and memory calls benchmarks use, and the program's own file
# (asked of a helper started under other names).
add_executable(process_helper ${CMAKE_CURRENT_SOURCE_DIR}/tests/process_helper.cpp)
target_link_libraries(process_helper PRIVATE plat)
vln_add_test(NAME plat_process_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/process_test.cpp
  LIBS rpc_testsupport plat LABELS unit)
target_compile_definitions(plat_process_test PRIVATE PROCESS_HELPER="$<TARGET_FILE:process_helper>")
add_dependencies(plat_process_test process_helper)
vln_test_depends(plat_process_test process_helper)
vln_add_test(NAME plat_memory_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/memory_test.cpp
  LIBS plat LABELS unit asan)

# Key-by-key terminal input.
vln_add_test(NAME plat_rawkeys_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/rawkeys_test.cpp
  LIBS plat LABELS unit asan)

# The control RPC transport and the server's pool of call threads.
vln_add_test(NAME rpc_transport_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/rpc_transport_test.cpp
  LIBS rpc_testsupport plat LABELS unit asan)
vln_add_test(NAME rpc_pool_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/rpc_pool_test.cpp
  LIBS rpc_testsupport plat LABELS unit concurrency)

# The single-instance lock, taken by a second process too.
add_executable(instance_helper ${CMAKE_CURRENT_SOURCE_DIR}/tests/instance_helper.cpp)
target_link_libraries(instance_helper PRIVATE plat)
vln_add_test(NAME plat_instance_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/instance_test.cpp
  LIBS rpc_testsupport plat LABELS unit)
target_compile_definitions(plat_instance_test PRIVATE
  INSTANCE_HELPER="$<TARGET_FILE:instance_helper>")
add_dependencies(plat_instance_test instance_helper)

# The registry file.
vln_add_test(NAME plat_registry_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/registry_test.cpp
  LIBS plat LABELS unit asan)
target_compile_definitions(plat_registry_test PRIVATE
  VLN_PREFIX_REGISTRY="${CMAKE_INSTALL_FULL_SYSCONFDIR}/veltrano/registry.reg")

# Version section: the test program carries its own block; helpers carry a
# block of another language, none at all, and a module its own.
set(verinfo_foreign_block ${CMAKE_CURRENT_BINARY_DIR}/verinfo_foreign.txt)
file(WRITE ${verinfo_foreign_block}
  "\\StringFileInfo\\040704b0\\ProductName=Fremdprogramm\n"
  "\\StringFileInfo\\040704b0\\ProductVersion=2.0.0.0\n")
add_executable(verinfo_foreign ${CMAKE_CURRENT_SOURCE_DIR}/tests/verinfo_programs.cpp)
vln_version_info(verinfo_foreign RAW ${verinfo_foreign_block})
add_executable(verinfo_none ${CMAKE_CURRENT_SOURCE_DIR}/tests/verinfo_programs.cpp)
add_library(verinfo_module MODULE ${CMAKE_CURRENT_SOURCE_DIR}/tests/verinfo_module.cpp)
target_link_libraries(verinfo_module PRIVATE plat)
set_target_properties(verinfo_module PROPERTIES CXX_VISIBILITY_PRESET hidden)
vln_version_info(verinfo_module PRODUCT_NAME "Verinfo Module" PRODUCT_VERSION "3.0.0.1")

vln_add_test(NAME plat_verinfo_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/verinfo_test.cpp
  LIBS plat LABELS unit asan)
vln_version_info(plat_verinfo_test PRODUCT_NAME "Verinfo Test" PRODUCT_VERSION "1.2.3.4")
target_compile_definitions(plat_verinfo_test PRIVATE
  VERINFO_FOREIGN="$<TARGET_FILE:verinfo_foreign>"
  VERINFO_NONE="$<TARGET_FILE:verinfo_none>"
  VERINFO_MODULE="$<TARGET_FILE:verinfo_module>")
add_dependencies(plat_verinfo_test verinfo_foreign verinfo_none verinfo_module)
vln_test_depends(plat_verinfo_test verinfo_foreign verinfo_none verinfo_module)

# System texts.
vln_add_test(NAME plat_sysmsg_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/sysmsg_test.cpp
  LIBS plat LABELS unit)

# The two file parsers, fuzzed on exact-size buffers (a corpus replay in the
# ordinary trees).
vln_add_fuzz(TARGET verinfo LIBS plat)
vln_add_fuzz(TARGET registry LIBS plat)

# Starting a detached program, checked by a recorder that writes down what it
# was started with (the server's tests use the same recorder).
add_executable(spawn_recorder ${CMAKE_CURRENT_SOURCE_DIR}/tests/spawn_recorder.cpp)
vln_add_test(NAME spawn_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/spawn_test.cpp
  LIBS plat LABELS unit asan)
target_compile_definitions(spawn_test PRIVATE SPAWN_RECORDER="$<TARGET_FILE:spawn_recorder>")
add_dependencies(spawn_test spawn_recorder)
vln_test_depends(spawn_test spawn_recorder)

# The annotated lock types: their behaviour, and (clang only) that the
# analysis refuses what it should and accepts the forms the code base uses.
vln_add_test(NAME plat_threadsafety_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/threadsafety_test.cpp
  LIBS plat LABELS unit concurrency)
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  add_test(NAME plat_threadsafety_analysis
    COMMAND ${CMAKE_COMMAND} -DCXX=${CMAKE_CXX_COMPILER}
            -DINCLUDE=${CMAKE_CURRENT_SOURCE_DIR}/include
            -DSOURCE=${CMAKE_CURRENT_SOURCE_DIR}/tests/threadsafety_cases.cpp
            -P ${CMAKE_CURRENT_SOURCE_DIR}/tests/threadsafety_analysis.cmake)
  set_tests_properties(plat_threadsafety_analysis PROPERTIES LABELS "analysis" TIMEOUT 300)
endif()

# The diagnostic trace.
vln_add_test(NAME trace_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/trace_test.cpp
  LIBS plat LABELS unit concurrency)

# The virtual USB bus sockets with the transmit-event setter, and the
# directory watcher the bus discovers devices with.
vln_add_test(NAME vbus_socket_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/vbus_socket_test.cpp
  LIBS plat LABELS unit asan)
vln_add_test(NAME plat_inotify_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/inotify_test.cpp
  LIBS plat LABELS unit)
