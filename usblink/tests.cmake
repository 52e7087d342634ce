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
