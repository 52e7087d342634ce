# linkecho: the benchmark echo through client, linkhub, usblink over the
# virtual bus and devsim (a program that prints figures, not a test).
if(TARGET e2e_road)
  add_executable(linkecho ${CMAKE_CURRENT_LIST_DIR}/linkecho/main.cpp)
  target_link_libraries(linkecho PRIVATE e2e_road)
endif()
# --usbemu: the same over usblink's libusb backend, against an emulated USB
# device (umockdev), where the default tree has it.
if(TARGET linkecho AND TARGET usblink_usbemu)
  target_link_libraries(linkecho PRIVATE usblink_usbemu)
  target_compile_definitions(linkecho PRIVATE LINKECHO_USBEMU=1)
endif()
