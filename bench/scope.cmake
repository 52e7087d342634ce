# scopebench: raw capture data through the whole road (scopeproto, linkhub,
# usblink over the virtual bus, a device), beside the benchmark echo of the
# same run.
if(TARGET e2e_road AND TARGET scopeproto)
  add_executable(scopebench ${CMAKE_CURRENT_LIST_DIR}/scope/main.cpp)
  target_link_libraries(scopebench PRIVATE e2e_road scopeproto)
endif()
