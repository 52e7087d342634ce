# Tests of the process and memory calls benchmarks use.
vln_add_test(NAME plat_process_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/process_test.cpp
  LIBS plat LABELS unit)
vln_add_test(NAME plat_memory_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/memory_test.cpp
  LIBS plat LABELS unit asan)
