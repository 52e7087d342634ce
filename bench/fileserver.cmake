# fsbench: file download and upload through the whole road, beside the
# benchmark echo and the link window ceiling of the same run.
if(TARGET e2e_road)
  add_executable(fsbench ${CMAKE_CURRENT_LIST_DIR}/fileserver/main.cpp)
  target_link_libraries(fsbench PRIVATE e2e_road fsproto)
endif()
