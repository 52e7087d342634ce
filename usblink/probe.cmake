# The udev probe: udev runs it for a USB device with a vendor-specific
# interface; the rule gives the user at the seat access only to the devices
# it confirms. It asks exactly what the plug-in's own matching asks.
set(USBLINK_UDEV_DIR ${CMAKE_CURRENT_LIST_DIR}/udev)
# The check itself is the plug-in's own (usblink_core), so the probe and the
# plug-in's matching cannot drift apart.
add_library(usblink_udevprobe INTERFACE)
target_link_libraries(usblink_udevprobe INTERFACE usblink_core)

add_executable(usblink_probe ${USBLINK_UDEV_DIR}/probe_main.cpp)
target_link_libraries(usblink_probe PRIVATE usblink_udevprobe PkgConfig::LIBUSB)
set_target_properties(usblink_probe PROPERTIES OUTPUT_NAME usblink-probe)
