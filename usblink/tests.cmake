# usblink's tests: records and parsers, the channel and discovery threads on a
# scripted bus, libusb without devices, and the plug-in over the virtual bus.
set(USBLINK_TESTS ${CMAKE_CURRENT_LIST_DIR}/tests)

add_library(usblink_testbus STATIC ${USBLINK_TESTS}/ScriptedBus.cpp)
target_include_directories(usblink_testbus PUBLIC ${USBLINK_TESTS})
target_link_libraries(usblink_testbus PUBLIC usblink_core)

vln_add_test(NAME usblink_records_test
  SOURCES ${USBLINK_TESTS}/records_test.cpp
  LIBS usblink_core LABELS unit asan)

vln_add_test(NAME usblink_channel_test
  SOURCES ${USBLINK_TESTS}/channel_test.cpp
  LIBS usblink_testbus LABELS unit asan concurrency)

vln_add_test(NAME usblink_libusb_test
  SOURCES ${USBLINK_TESTS}/libusb_test.cpp
  LIBS usblink_core LABELS unit asan)
target_include_directories(usblink_libusb_test PRIVATE ${USBLINK_TESTS})

# The plug-in itself, dlopen'ed, on the virtual bus with a fake device.
add_executable(usblink_load_probe ${USBLINK_TESTS}/load_probe.cpp)
target_link_libraries(usblink_load_probe PRIVATE plat media_api)
vln_add_test(NAME usblink_vbus_test
  SOURCES ${USBLINK_TESTS}/vbus_test.cpp ${USBLINK_TESTS}/FakeVbusDevice.cpp
  LIBS plat media_api LABELS unit asan concurrency)
target_include_directories(usblink_vbus_test PRIVATE ${USBLINK_TESTS})
target_compile_definitions(usblink_vbus_test PRIVATE
  USBLINK_MODULE="$<TARGET_FILE:usblink>"
  USBLINK_PROBE="$<TARGET_FILE:usblink_load_probe>"
  USBLINK_VERSION="${PROJECT_VERSION}")
add_dependencies(usblink_vbus_test usblink usblink_load_probe)
vln_test_depends(usblink_vbus_test usblink usblink_load_probe)

# Fuzz targets of the parsers of device input, with their seeds.
vln_add_fuzz(NAME usblink_splitter_fuzz
  SOURCES ${USBLINK_TESTS}/fuzz/splitter_fuzz.cpp
  LIBS usblink_core CORPUS ${USBLINK_TESTS}/fuzz/splitter)
vln_add_fuzz(NAME usblink_msos20_fuzz
  SOURCES ${USBLINK_TESTS}/fuzz/msos20_fuzz.cpp
  LIBS usblink_core CORPUS ${USBLINK_TESTS}/fuzz/msos20)
