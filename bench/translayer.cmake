# Pipe engine benchmark: prints figures; not a test.
add_executable(bench_translayer ${CMAKE_CURRENT_SOURCE_DIR}/translayer/pipe_bench.cpp)
target_link_libraries(bench_translayer PRIVATE translayer)
