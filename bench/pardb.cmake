# pardbbench: parameter reads per second through the whole road, beside the
# benchmark echo's round-trip rate and throughput of the same run.
if(TARGET e2e_road AND TARGET pardbproto)
  add_executable(pardbbench ${CMAKE_CURRENT_LIST_DIR}/pardb/main.cpp)
  target_link_libraries(pardbbench PRIVATE e2e_road pardbproto)
endif()
