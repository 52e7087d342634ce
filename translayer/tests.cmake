# Tests of threads, events, queues, messages and the pipe engine, of the
# channel client, the ConnectionServerRpc stubs and dispatch, and of the RPC
# memory routines.

vln_add_test(NAME payload_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/payload_test.cpp
  LIBS translayer LABELS unit asan)
# The test refuses allocations on demand through a wrapped realloc.
target_link_options(payload_test PRIVATE -Wl,--wrap=realloc)

vln_add_test(NAME thread_base_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/thread_base_test.cpp
  LIBS translayer LABELS unit concurrency)

vln_add_test(NAME tr_if_tran_common_loop_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/tr_if_tran_common_loop_test.cpp
  LIBS translayer LABELS unit asan)

# The far end of the two-process test, started by the test itself.
add_executable(engine_peer ${CMAKE_CURRENT_SOURCE_DIR}/tests/engine_peer.cpp)
target_link_libraries(engine_peer PRIVATE translayer)
vln_add_test(NAME tr_if_tran_common_process_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/tr_if_tran_common_process_test.cpp
  LIBS translayer LABELS unit asan
  ENV ENGINE_PEER=$<TARGET_FILE:engine_peer>)
add_dependencies(tr_if_tran_common_process_test engine_peer)
vln_test_depends(tr_if_tran_common_process_test engine_peer)

vln_add_test(NAME tr_if_tran_common_concurrency_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/tr_if_tran_common_concurrency_test.cpp
  LIBS translayer LABELS unit concurrency)

# The client tests run a scripted connection server in its own process.
add_executable(client_test_server ${CMAKE_CURRENT_SOURCE_DIR}/tests/client_test_server.cpp)
target_link_libraries(client_test_server PRIVATE translayer)

vln_add_test(NAME tr_if_tran_client_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/tr_if_tran_client_test.cpp
  LIBS translayer rpc_testsupport LABELS unit asan concurrency)
target_compile_definitions(tr_if_tran_client_test PRIVATE
  CLIENT_TEST_SERVER="$<TARGET_FILE:client_test_server>")
add_dependencies(tr_if_tran_client_test client_test_server)
vln_test_depends(tr_if_tran_client_test client_test_server)

vln_add_test(NAME connection_server_rpc_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/connection_server_rpc_test.cpp
  LIBS translayer rpc_testsupport LABELS unit asan)

# The server side of the control RPC on a live connection: whatever a client
# process sends, frames and callback answers included.
vln_add_fuzz(TARGET rpc_server LIBS translayer rpc_testsupport)
