set(VLN_CALCODEC_FIXTURES ${CMAKE_CURRENT_SOURCE_DIR}/tests/fixtures)

vln_add_test(NAME calcodec_test
             SOURCES tests/calcodec_test.cpp tests/calcodec_fixture_test.cpp
             LIBS calcodec codec_common
             LABELS unit asan)
target_compile_definitions(calcodec_test PRIVATE CALCODEC_FIXTURES="${VLN_CALCODEC_FIXTURES}")

# The checked-in fixtures are what the generator makes today.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_FOUND)
  add_test(NAME calcodec_fixtures_current
           COMMAND ${Python3_EXECUTABLE} -B ${VLN_CALCODEC_FIXTURES}/make_fixtures.py --check)
  set_tests_properties(calcodec_fixtures_current PROPERTIES LABELS unit TIMEOUT 60)
endif()

# The fuzz targets start from the fixed documents the fixture generator
# writes, compiled in so a fuzz run needs no files.
set(VLN_CALCODEC_FUZZ_DOCS ${CMAKE_CURRENT_SOURCE_DIR}/tests/fuzz/documents)
set(VLN_CALCODEC_FUZZ_HEADER ${CMAKE_CURRENT_BINARY_DIR}/fuzzdocs/CalcodecFuzzDocs.h)
set(text "// Generated from ${VLN_CALCODEC_FUZZ_DOCS}\n#pragma once\n")
foreach(doc definition dataset datavalue)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${VLN_CALCODEC_FUZZ_DOCS}/${doc}.xml)
  file(READ ${VLN_CALCODEC_FUZZ_DOCS}/${doc}.xml body)
  string(APPEND text "inline constexpr char kFuzz_${doc}[] = R\"XMLDOC(${body})XMLDOC\";\n")
endforeach()
file(CONFIGURE OUTPUT ${VLN_CALCODEC_FUZZ_HEADER} CONTENT "${text}" @ONLY)

foreach(target stdrecord definition dataset datavalue)
  vln_add_fuzz(TARGET ${target}
               SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/fuzz/CalcodecRoundTrip.cpp
               LIBS calcodec codec_common)
  target_include_directories(calcodec_${target}_fuzz PRIVATE
                             ${CMAKE_CURRENT_BINARY_DIR}/fuzzdocs ${CMAKE_CURRENT_SOURCE_DIR}/tests/fuzz)
endforeach()
