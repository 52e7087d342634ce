# Codec throughput benchmark (a program that prints figures, not a test).
add_executable(codec_bench
  ${CMAKE_CURRENT_LIST_DIR}/codecs/codec_bench.cpp
  ${CMAKE_CURRENT_LIST_DIR}/codecs/Inputs.cpp)
target_link_libraries(codec_bench PRIVATE logcodec scopecodec parcodec odcodec plat)
