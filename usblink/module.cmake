# The USB media plug-in: a MODULE that exports the six media functions and the
# load hook, built on a static core that the tests link directly.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBUSB REQUIRED IMPORTED_TARGET libusb-1.0)

set(USBLINK_DIR ${CMAKE_CURRENT_LIST_DIR})
add_library(usblink_core STATIC
  ${USBLINK_DIR}/src/DefaultBus.cpp
  ${USBLINK_DIR}/src/DeviceIds.cpp
  ${USBLINK_DIR}/src/LibusbBus.cpp
  ${USBLINK_DIR}/src/MediaLibrary.cpp
  ${USBLINK_DIR}/src/MsOs20.cpp
  ${USBLINK_DIR}/src/TransferRecords.cpp
  ${USBLINK_DIR}/src/USBChannel.cpp
  ${USBLINK_DIR}/src/USBEnumeration.cpp
  ${USBLINK_DIR}/src/VbusBus.cpp
  # The device check the udev probe runs too, so both ask the same.
  ${USBLINK_DIR}/udev/UdevProbe.cpp)
target_include_directories(usblink_core PUBLIC ${USBLINK_DIR}/src ${USBLINK_DIR}/udev)
target_link_libraries(usblink_core PUBLIC media_api translayer plat PkgConfig::LIBUSB Threads::Threads PRIVATE vlnbase)
set_target_properties(usblink_core PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)

add_library(usblink MODULE ${USBLINK_DIR}/src/MediaExports.cpp)
target_link_libraries(usblink PRIVATE usblink_core)
set_target_properties(usblink PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
# Only the exports leave the module; the static layers inside (translayer,
# plat) stay private so they never interpose on the server's own copies.
target_link_options(usblink PRIVATE
  -Wl,--version-script=${USBLINK_DIR}/src/usblink.map -Wl,--exclude-libs,ALL)
set_property(TARGET usblink APPEND PROPERTY LINK_DEPENDS ${USBLINK_DIR}/src/usblink.map)
if(VLN_FLAVOUR STREQUAL "")
  # Sanitizer runtimes live in the executable, so this check is for plain trees.
  target_link_options(usblink PRIVATE -Wl,--no-undefined)
endif()
vln_version_info(usblink PRODUCT_NAME "usblink" PRODUCT_VERSION ${PROJECT_VERSION}
                 FILE_DESCRIPTION "USB Media")
