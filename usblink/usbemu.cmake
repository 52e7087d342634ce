# The libusb backend end to end on an emulated USB device (umockdev): the
# fixture library and the tests labelled usbemu. The preload library and the
# sanitizer runtimes do not mix, so this is for the default tree only.
if(VLN_FLAVOUR STREQUAL "")
  pkg_check_modules(UMOCKDEV REQUIRED IMPORTED_TARGET umockdev-1.0)
  set(USBEMU_DIR ${CMAKE_CURRENT_LIST_DIR}/tests/usbemu)

  add_library(usblink_usbemu STATIC ${USBEMU_DIR}/UsbEmu.cpp)
  target_include_directories(usblink_usbemu PUBLIC ${USBEMU_DIR})
  target_link_libraries(usblink_usbemu PUBLIC devsim_core translayer PkgConfig::UMOCKDEV Threads::Threads)

  vln_add_test(NAME usblink_usbemu_test
    SOURCES ${USBEMU_DIR}/usbemu_test.cpp
    LIBS usblink_usbemu e2e_road devmgr LABELS e2e usbemu TIMEOUT 900)
  target_compile_definitions(usblink_usbemu_test PRIVATE
    USBEMU_DEVSHELL="$<TARGET_FILE:devshell>")
  add_dependencies(usblink_usbemu_test linkhub usblink devshell)
endif()
