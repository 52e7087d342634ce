# Tests of the control RPC transport, the registry file, the instance lock,
# module loading, the version section and the system texts.

# Shared by the RPC tests here and the channel client tests of translayer:
# a private runtime dir per test, raw wire access, helper child processes.
add_library(rpc_testsupport STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/tests/rpc_fixture.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/tests/rpc_child.cpp)
target_include_directories(rpc_testsupport PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/tests)
target_link_libraries(rpc_testsupport PUBLIC plat GTest::gtest Threads::Threads)

vln_add_test(NAME rpc_transport_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/rpc_transport_test.cpp
  LIBS rpc_testsupport plat LABELS unit asan)
vln_add_test(NAME rpc_pool_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/rpc_pool_test.cpp
  LIBS rpc_testsupport plat LABELS unit concurrency)
