vln_add_test(NAME odcodec_test SOURCES tests/odcodec_test.cpp LIBS odcodec LABELS unit asan)
target_compile_definitions(odcodec_test PRIVATE
  ODCODEC_VECTOR_DIR="${CMAKE_CURRENT_SOURCE_DIR}/tests/vectors")

vln_add_fuzz(TARGET binary LIBS odcodec)
vln_add_fuzz(TARGET xml LIBS odcodec)
