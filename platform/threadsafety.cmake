# The annotated lock types: their behaviour, and (clang only) that the
# analysis refuses what it should and accepts the forms the code base uses.
vln_add_test(NAME plat_threadsafety_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/threadsafety_test.cpp
  LIBS plat LABELS unit concurrency)
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  add_test(NAME plat_threadsafety_analysis
    COMMAND ${CMAKE_COMMAND} -DCXX=${CMAKE_CXX_COMPILER}
            -DINCLUDE=${CMAKE_CURRENT_SOURCE_DIR}/include
            -DSOURCE=${CMAKE_CURRENT_SOURCE_DIR}/tests/threadsafety_cases.cpp
            -P ${CMAKE_CURRENT_SOURCE_DIR}/tests/threadsafety_analysis.cmake)
  set_tests_properties(plat_threadsafety_analysis PROPERTIES LABELS "analysis" TIMEOUT 300)
endif()
