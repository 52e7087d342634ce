# The Debian package (the preset "package", configured for /usr):
#   cmake --build --preset package --target package
# Dependencies come from dpkg-shlibdeps; the registry file is a conffile; the
# postinst reloads the udev rules so a device plugged in afterwards is given
# access.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME veltrano-tools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Veltrano Instruments")
set(CPACK_PACKAGE_CONTACT "Veltrano Instruments <tools@veltrano.eu>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Connection server, USB plug-in, client libraries and tools for Veltrano devices")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "The connection server linkhub with its tray and device list, the USB media plug-in usblink "
  "with its udev rule, the device console devshell, the emulated device devsim, the firmware "
  "updater fwflash, the protocol exerciser protoprobe, the codec tools datatool and calfit, "
  "the client and codec libraries with their C headers and CMake package, and the Java bindings.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The package's own libraries, where CPack stages them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${CMAKE_BINARY_DIR}/_CPack_Packages/Linux/DEB/${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-Linux${CMAKE_INSTALL_PREFIX}/${VLN_INSTALL_LIBDIR})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)

set(VLN_DEB_DIR ${CMAKE_BINARY_DIR}/install/debian)
file(WRITE ${VLN_DEB_DIR}/conffiles "${VLN_INSTALL_CONFDIR}/registry.reg\n")
file(WRITE ${VLN_DEB_DIR}/postinst
"#!/bin/sh
set -e
if [ \"$1\" = configure ] && command -v udevadm >/dev/null 2>&1; then
  udevadm control --reload-rules || true
fi
")
file(CHMOD ${VLN_DEB_DIR}/postinst PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
     GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${VLN_DEB_DIR}/conffiles ${VLN_DEB_DIR}/postinst)

include(CPack)
