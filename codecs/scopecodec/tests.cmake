set(VLN_SCOPECODEC_FIXTURES ${CMAKE_CURRENT_SOURCE_DIR}/tests/fixtures)

vln_add_test(NAME scopecodec_test SOURCES tests/scopecodec_test.cpp LIBS scopecodec
             LABELS unit asan concurrency)
target_compile_definitions(scopecodec_test PRIVATE SCOPECODEC_FIXTURES="${VLN_SCOPECODEC_FIXTURES}")

vln_add_test(NAME scopecodec_float_text_test SOURCES tests/float_text_test.cpp src/FloatText.cpp
             LIBS codec_common LABELS unit asan)

# The checked-in fixtures are what the generator makes today.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_FOUND)
  add_test(NAME scopecodec_fixtures_current
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/tests/make_fixtures.py --check)
  set_tests_properties(scopecodec_fixtures_current PROPERTIES LABELS unit TIMEOUT 60)
endif()

vln_add_fuzz(TARGET scopecapture LIBS scopecodec)
