# Tests of the message pipes, wake events, polling and the runtime directory.
vln_add_test(NAME pipes_runtime_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/pipes_runtime_test.cpp
  LIBS plat LABELS unit)
