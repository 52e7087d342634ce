# usblink's tests: records and parsers, the channel and discovery threads on a
# scripted bus, libusb without devices, the plug-in over the virtual bus, and
# the libusb backend end to end on an emulated USB device.
set(USBLINK_TESTS ${CMAKE_CURRENT_LIST_DIR}/tests)

add_library(usblink_testbus STATIC ${USBLINK_TESTS}/ScriptedBus.cpp)
target_include_directories(usblink_testbus PUBLIC ${USBLINK_TESTS})
target_link_libraries(usblink_testbus PUBLIC usblink_core)

vln_add_test(NAME usblink_transfer_records_test
  SOURCES ${USBLINK_TESTS}/transfer_records_test.cpp
  LIBS usblink_core LABELS unit asan)

vln_add_test(NAME usblink_usb_channel_test
  SOURCES ${USBLINK_TESTS}/usb_channel_test.cpp
  LIBS usblink_testbus LABELS unit asan concurrency)

vln_add_test(NAME usblink_libusb_bus_test
  SOURCES ${USBLINK_TESTS}/libusb_bus_test.cpp
  LIBS usblink_core LABELS unit asan)
target_include_directories(usblink_libusb_bus_test PRIVATE ${USBLINK_TESTS})

# The plug-in itself, dlopen'ed, on the virtual bus with a fake device.
add_executable(usblink_load_probe ${USBLINK_TESTS}/load_probe.cpp)
target_link_libraries(usblink_load_probe PRIVATE plat media_api)
vln_add_test(NAME usblink_vbus_test
  SOURCES ${USBLINK_TESTS}/usblink_vbus_test.cpp ${USBLINK_TESTS}/FakeVbusDevice.cpp
  LIBS plat media_api LABELS unit asan concurrency)
target_include_directories(usblink_vbus_test PRIVATE ${USBLINK_TESTS})
target_compile_definitions(usblink_vbus_test PRIVATE
  USBLINK_MODULE="$<TARGET_FILE:usblink>"
  USBLINK_PROBE="$<TARGET_FILE:usblink_load_probe>"
  USBLINK_VERSION="${PROJECT_VERSION}")
add_dependencies(usblink_vbus_test usblink usblink_load_probe)
vln_test_depends(usblink_vbus_test usblink usblink_load_probe)

# Fuzz targets of the parsers of device input, with their seeds.
vln_add_fuzz(TARGET splitter LIBS usblink_core)
vln_add_fuzz(TARGET msos20 LIBS usblink_core)

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
    SOURCES ${USBEMU_DIR}/usblink_usbemu_test.cpp
    LIBS usblink_usbemu e2e_road devmgr LABELS e2e usbemu TIMEOUT 900)
  target_compile_definitions(usblink_usbemu_test PRIVATE
    USBEMU_DEVSHELL="$<TARGET_FILE:devshell>")
  add_dependencies(usblink_usbemu_test linkhub usblink devshell)
endif()

# The udev probe: its answers on emulated devices (default tree only, like the
# test bed), and the descriptor set it reads fuzzed through the same
# questions, with the seeds of the decoder.
vln_add_fuzz(TARGET udev_probe LIBS usblink_udevprobe)
if(VLN_FLAVOUR STREQUAL "")
  vln_add_test(NAME usblink_udev_probe_usbemu_test
    SOURCES ${USBEMU_DIR}/udev_probe_usbemu_test.cpp
    LIBS usblink_usbemu vln_testsupport LABELS e2e usbemu)
  target_compile_definitions(usblink_udev_probe_usbemu_test PRIVATE
    USBLINK_PROBE="$<TARGET_FILE:usblink_probe>")
  add_dependencies(usblink_udev_probe_usbemu_test usblink_probe)
endif()
