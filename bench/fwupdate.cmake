# fwupdate: the firmware updater's worker updating an emulated device with a
# 1 MiB package through the whole road (a program that prints figures).
if(TARGET e2e_road AND TARGET fwflash_ui)
  add_executable(fwupdate ${CMAKE_CURRENT_LIST_DIR}/fwupdate/main.cpp)
  target_link_libraries(fwupdate PRIVATE e2e_road fwflash_ui fwpackage_writer devsim_core)
  target_compile_options(fwupdate PRIVATE -Wno-missing-field-initializers)
  target_include_directories(fwupdate PRIVATE ${CMAKE_SOURCE_DIR}/fwflash/tests ${CMAKE_SOURCE_DIR}/devsim/src/main)
endif()
