# Runs the program as a process against the golden files.
vln_add_test(NAME calfit_test SOURCES tests/calfit_test.cpp LABELS unit)
target_compile_definitions(calfit_test PRIVATE
  CALFIT_PROGRAM="$<TARGET_FILE:calfit>"
  CALFIT_GOLDEN="${CMAKE_CURRENT_SOURCE_DIR}/tests/golden"
  CALFIT_COPYRIGHT="${VLN_COPYRIGHT}")
add_dependencies(calfit_test calfit)

find_package(Python3 COMPONENTS Interpreter)
if(Python3_FOUND)
  add_test(NAME calfit_golden_current
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/tests/golden/make_golden.py --check)
  set_tests_properties(calfit_golden_current PROPERTIES LABELS unit TIMEOUT 60)
endif()
