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
