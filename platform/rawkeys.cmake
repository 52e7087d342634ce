# Tests of key-by-key terminal input.
vln_add_test(NAME plat_rawkeys_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/rawkeys_test.cpp
  LIBS plat LABELS unit asan)
