set(VLN_LOGCODEC_FIXTURES ${CMAKE_CURRENT_SOURCE_DIR}/tests/fixtures)

vln_add_test(NAME logcodec_test SOURCES tests/logcodec_test.cpp LIBS logcodec LABELS unit asan)
target_compile_definitions(logcodec_test PRIVATE LOGCODEC_FIXTURES="${VLN_LOGCODEC_FIXTURES}")

# The checked-in fixtures are what the generator makes today.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_FOUND)
  add_test(NAME logcodec_fixtures_current
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/tests/make_fixtures.py --check)
  set_tests_properties(logcodec_fixtures_current PROPERTIES LABELS unit TIMEOUT 60)
endif()

vln_add_fuzz(TARGET logstream LIBS logcodec)
