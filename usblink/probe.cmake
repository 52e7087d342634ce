# The udev probe: udev runs it for a USB device with a vendor-specific
# interface; the rule gives the user at the seat access only to the devices
# it confirms. It asks with the same MS OS 2.0 decoder the plug-in uses.
set(USBLINK_UDEV_DIR ${CMAKE_CURRENT_LIST_DIR}/udev)
add_library(usblink_udevprobe STATIC ${USBLINK_UDEV_DIR}/UdevProbe.cpp)
target_include_directories(usblink_udevprobe PUBLIC ${USBLINK_UDEV_DIR})
target_link_libraries(usblink_udevprobe PUBLIC usblink_core PRIVATE svcwire)

add_executable(usblink_probe ${USBLINK_UDEV_DIR}/probe_main.cpp)
target_link_libraries(usblink_probe PRIVATE usblink_udevprobe PkgConfig::LIBUSB)
set_target_properties(usblink_probe PROPERTIES OUTPUT_NAME usblink-probe)
