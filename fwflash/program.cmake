# The fwflash program: the Qt 6 dialog over the worker.
find_package(Qt6 COMPONENTS Widgets Network Test)
if(NOT Qt6_FOUND)
  message(STATUS "fwflash: Qt 6 not found, the program is not built")
  return()
endif()

add_library(fwflash_ui STATIC app/CUpdaterDlg.cpp app/CUpdaterApp.cpp app/DevmgrDevice.cpp
            app/FsprotoFileServer.cpp)
set_target_properties(fwflash_ui PROPERTIES AUTOMOC ON)
target_include_directories(fwflash_ui PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/app)
target_link_libraries(fwflash_ui PUBLIC fwworker devmgr fsproto Qt6::Widgets Qt6::Network)

add_executable(fwflash app/main.cpp)
target_link_libraries(fwflash PRIVATE fwflash_ui)
vln_version_info(fwflash PRODUCT_NAME "KN Firmware Updater" PRODUCT_VERSION "1.8.0.0")
