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

vln_add_test(NAME fwflash_dialog_logic_test SOURCES tests/dialog_logic_test.cpp LIBS fwworker LABELS unit)
vln_add_test(NAME fwflash_dialog_test SOURCES tests/dialog_widget_test.cpp
             LIBS fwflash_ui fwpackage_writer LABELS gui ENV QT_QPA_PLATFORM=offscreen)
target_compile_options(fwflash_dialog_test PRIVATE -Wno-missing-field-initializers)
target_include_directories(fwflash_dialog_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tests)
vln_add_test(NAME fwflash_program_test SOURCES tests/program_test.cpp LABELS gui)
target_compile_definitions(fwflash_program_test PRIVATE FWFLASH_PROGRAM="$<TARGET_FILE:fwflash>")
add_dependencies(fwflash_program_test fwflash)
