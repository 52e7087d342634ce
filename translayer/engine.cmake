# Tests of threads, events, queues, messages and the pipe engine.

vln_add_test(NAME payload_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/payload_test.cpp
  LIBS translayer LABELS unit asan)
# The test refuses allocations on demand through a wrapped realloc.
target_link_options(payload_test PRIVATE -Wl,--wrap=realloc)

vln_add_test(NAME threads_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/threads_test.cpp
  LIBS translayer LABELS unit concurrency)

vln_add_test(NAME engine_loop_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/engine_loop_test.cpp
  LIBS translayer LABELS unit asan)

# The far end of the two-process test, started by the test itself.
add_executable(engine_peer ${CMAKE_CURRENT_SOURCE_DIR}/tests/engine_peer.cpp)
target_link_libraries(engine_peer PRIVATE translayer)
vln_add_test(NAME engine_process_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/engine_process_test.cpp
  LIBS translayer LABELS unit asan
  ENV ENGINE_PEER=$<TARGET_FILE:engine_peer>)
add_dependencies(engine_process_test engine_peer)
vln_test_depends(engine_process_test engine_peer)

vln_add_test(NAME engine_concurrency_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/engine_concurrency_test.cpp
  LIBS translayer LABELS unit concurrency)
