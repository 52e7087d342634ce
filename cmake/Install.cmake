# cmake --install: the programs in bin/, every library (client libraries,
# codecs, the USB plug-in and the Java bindings) in one directory
# lib[/<triplet>]/veltrano/ so that each binding finds the library it wraps
# beside itself, the flat C headers under include/veltrano/ with the CMake
# package VeltranoTools, the registry file naming the installed plug-in and
# updater, the desktop entry, and the udev rule with its probe.
# Only targets are installed: the copies the build tree keeps for the Java
# tests stay there.
include(CMakePackageConfigHelpers)

set(VLN_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/veltrano)
set(VLN_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/VeltranoTools)
set(VLN_INSTALL_CONFDIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/veltrano)
# udev reads /usr/lib/udev, never a multiarch directory.
set(VLN_INSTALL_UDEVDIR lib/udev)

set(VLN_PROGRAMS linkhub devshell devsim datatool calfit protoprobe fwflash)
set(VLN_CLIENT_LIBRARIES devmgr fsproto statproto pardbproto scopeproto)
set(VLN_CODEC_LIBRARIES parcodec calcodec logcodec scopecodec odcodec)

foreach(program IN LISTS VLN_PROGRAMS)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# The libraries an application links: exported as Veltrano::<name>.
set(VLN_EXPORTED "")
foreach(library IN LISTS VLN_CLIENT_LIBRARIES VLN_CODEC_LIBRARIES)
  if(TARGET ${library})
    list(APPEND VLN_EXPORTED ${library})
    set_target_properties(${library} PROPERTIES INSTALL_RPATH "$ORIGIN")
    get_target_property(dir ${library} SOURCE_DIR)
    install(DIRECTORY ${dir}/include/ DESTINATION ${VLN_INSTALL_INCLUDEDIR})
  endif()
endforeach()
install(TARGETS ${VLN_EXPORTED} EXPORT VeltranoToolsTargets
  LIBRARY DESTINATION ${VLN_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${VLN_INSTALL_INCLUDEDIR})
install(EXPORT VeltranoToolsTargets NAMESPACE Veltrano:: DESTINATION ${VLN_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/install/VeltranoToolsConfig.cmake.in
  ${CMAKE_BINARY_DIR}/install/VeltranoToolsConfig.cmake
  INSTALL_DESTINATION ${VLN_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/install/VeltranoToolsConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/install/VeltranoToolsConfig.cmake
              ${CMAKE_BINARY_DIR}/install/VeltranoToolsConfigVersion.cmake
        DESTINATION ${VLN_INSTALL_CMAKEDIR})

# The media plug-in, loaded by its path in the registry file.
if(TARGET usblink)
  set_target_properties(usblink PROPERTIES INSTALL_RPATH "$ORIGIN")
  install(TARGETS usblink LIBRARY DESTINATION ${VLN_INSTALL_LIBDIR})
endif()

# The Java bindings beside the libraries they wrap, the provider jar in
# share/java. A binding is the one its own java/<name>/ folder builds; the
# tests' bindings are left out.
get_property(VLN_BINDINGS GLOBAL PROPERTY VLN_JAVA_BINDINGS)
foreach(entry IN LISTS VLN_BINDINGS)
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 binding)
  get_target_property(dir ${binding} SOURCE_DIR)
  if(NOT dir STREQUAL "${CMAKE_SOURCE_DIR}/java/${binding}")
    continue()
  endif()
  set_target_properties(${binding} PROPERTIES INSTALL_RPATH "$ORIGIN")
  install(TARGETS ${binding} LIBRARY DESTINATION ${VLN_INSTALL_LIBDIR})
endforeach()
if(TARGET vln_provider)
  get_target_property(jar vln_provider JAR_FILE)
  install(FILES ${jar} DESTINATION ${CMAKE_INSTALL_DATADIR}/java)
endif()

# The registry file: the installed plug-in in the Media key, the installed
# firmware updater as "Updater".
set(VLN_REGISTRY_USBLINK ${CMAKE_INSTALL_FULL_LIBDIR}/veltrano/libusblink.so)
set(VLN_REGISTRY_UPDATER ${CMAKE_INSTALL_FULL_BINDIR}/fwflash)
configure_file(${CMAKE_CURRENT_LIST_DIR}/install/registry.reg.in
  ${CMAKE_BINARY_DIR}/install/registry.reg @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/install/registry.reg DESTINATION ${VLN_INSTALL_CONFDIR})

# The tray program in the desktop's menu; it is not started at login.
set(VLN_DESKTOP_EXEC ${CMAKE_INSTALL_FULL_BINDIR}/linkhub)
configure_file(${CMAKE_CURRENT_LIST_DIR}/install/linkhub.desktop.in
  ${CMAKE_BINARY_DIR}/install/linkhub.desktop @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/install/linkhub.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

# The udev rule and the probe it runs, by the probe's installed path.
if(TARGET usblink_probe)
  set(USBLINK_PROBE ${CMAKE_INSTALL_PREFIX}/${VLN_INSTALL_UDEVDIR}/usblink-probe)
  set(USBLINK_RULES_DIR ${CMAKE_INSTALL_PREFIX}/${VLN_INSTALL_UDEVDIR}/rules.d)
  configure_file(${CMAKE_SOURCE_DIR}/usblink/udev/70-usblink.rules.in
    ${CMAKE_BINARY_DIR}/install/70-usblink.rules @ONLY)
  set_target_properties(usblink_probe PROPERTIES INSTALL_RPATH "")
  install(TARGETS usblink_probe RUNTIME DESTINATION ${VLN_INSTALL_UDEVDIR})
  install(FILES ${CMAKE_BINARY_DIR}/install/70-usblink.rules
          DESTINATION ${VLN_INSTALL_UDEVDIR}/rules.d)
endif()
