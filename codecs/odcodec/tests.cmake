vln_add_test(NAME odcodec_test SOURCES tests/odcodec_test.cpp LIBS odcodec LABELS unit asan)
target_compile_definitions(odcodec_test PRIVATE
  ODCODEC_VECTOR_DIR="${CMAKE_CURRENT_SOURCE_DIR}/tests/vectors")

vln_add_fuzz(TARGET binary LIBS odcodec)
vln_add_fuzz(TARGET xml LIBS odcodec)

# Stands in for malloc, so it runs in the default tree only.
vln_add_test(NAME odcodec_out_of_memory_test SOURCES tests/odcodec_out_of_memory_test.cpp
             LIBS odcodec LABELS unit)
