# Tests of the message pipes, wake events, polling and the runtime directory.
vln_add_test(NAME pipes_runtime_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/pipes_runtime_test.cpp
  LIBS plat LABELS unit)
vln_add_test(NAME pipes_msgpipe_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/pipes_msgpipe_test.cpp
  LIBS plat LABELS unit asan)
vln_add_test(NAME pipes_wake_poll_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/pipes_wake_poll_test.cpp
  LIBS plat LABELS unit concurrency)
