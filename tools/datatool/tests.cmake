# Also run in the sanitizer tree, where the program and the codecs it calls
# are instrumented.
vln_add_test(NAME datatool_test SOURCES tests/datatool_test.cpp LIBS plat LABELS unit asan
             ENV DATATOOL=$<TARGET_FILE:datatool> DATATOOL_TESTS=${CMAKE_CURRENT_SOURCE_DIR}/tests)
target_compile_definitions(datatool_test PRIVATE DATATOOL_COPYRIGHT="${VLN_COPYRIGHT}")
add_dependencies(datatool_test datatool)
vln_test_depends(datatool_test datatool)
