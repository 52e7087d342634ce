# Starting a detached program, checked by a recorder that writes down what it
# was started with (the server's tests use the same recorder).
add_executable(spawn_recorder ${CMAKE_CURRENT_SOURCE_DIR}/tests/spawn_recorder.cpp)
vln_add_test(NAME spawn_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/spawn_test.cpp
  LIBS plat LABELS unit asan)
target_compile_definitions(spawn_test PRIVATE SPAWN_RECORDER="$<TARGET_FILE:spawn_recorder>")
add_dependencies(spawn_test spawn_recorder)
vln_test_depends(spawn_test spawn_recorder)
