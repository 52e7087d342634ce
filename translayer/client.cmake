# Tests of the channel client, the ConnectionServerRpc stubs and dispatch, and
# the RPC memory routines. The client tests run a scripted connection server
# in its own process.
add_executable(client_test_server ${CMAKE_CURRENT_SOURCE_DIR}/tests/client_test_server.cpp)
target_link_libraries(client_test_server PRIVATE translayer)

vln_add_test(NAME client_trif_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/client_trif_test.cpp
  LIBS translayer rpc_testsupport LABELS unit asan concurrency)
target_compile_definitions(client_trif_test PRIVATE
  CLIENT_TEST_SERVER="$<TARGET_FILE:client_test_server>")
add_dependencies(client_trif_test client_test_server)
vln_test_depends(client_trif_test client_test_server)

vln_add_test(NAME client_stub_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/client_stub_test.cpp
  LIBS translayer rpc_testsupport LABELS unit asan)
