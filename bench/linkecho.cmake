# linkecho: the benchmark echo through client, linkhub, usblink over the
# virtual bus and devsim (a program that prints figures, not a test).
if(TARGET e2e_road)
  add_executable(linkecho ${CMAKE_CURRENT_LIST_DIR}/linkecho/main.cpp)
  target_link_libraries(linkecho PRIVATE e2e_road)
endif()
