# The test package writer, used by the tests, the fuzz seeds, devsim's tests
# and the update benchmark.
add_library(fwpackage_writer STATIC tests/support/PackageWriter.cpp)
target_include_directories(fwpackage_writer PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/tests/support)
target_link_libraries(fwpackage_writer PUBLIC codec_common PRIVATE PkgConfig::LZ4)

vln_add_test(NAME fwflash_packager_test SOURCES tests/packager_test.cpp
             LIBS fwpackage fwpackage_writer PkgConfig::LZ4 LABELS unit asan)
target_compile_options(fwflash_packager_test PRIVATE -Wno-missing-field-initializers)

vln_add_test(NAME fwflash_comm_mgr_test SOURCES tests/comm_mgr_test.cpp LIBS fwworker
             LABELS unit concurrency)

# The module information reader under libFuzzer. Its seeds are packages as
# the test writer makes them; fwflash_make_seeds <dir> writes them again.
add_executable(fwflash_make_seeds tests/fuzz/make_seeds.cpp)
target_link_libraries(fwflash_make_seeds PRIVATE fwpackage_writer)
target_compile_options(fwflash_make_seeds PRIVATE -Wno-missing-field-initializers)
vln_add_fuzz(TARGET module_info LIBS fwpackage)

# The emulated device's firmware install (devsim --fw-upgrade).
vln_add_test(NAME fwflash_module_info_devsim_upgrade_test
             SOURCES tests/module_info_devsim_upgrade_test.cpp
             LIBS devsim_core fwpackage fwpackage_writer LABELS unit)
target_include_directories(fwflash_module_info_devsim_upgrade_test PRIVATE
                           ${CMAKE_SOURCE_DIR}/devsim/src/main)

vln_add_test(NAME fwflash_dialog_logic_test SOURCES tests/dialog_logic_test.cpp LIBS fwworker
             LABELS unit)

# The dialog and the program (Qt 6).
if(TARGET fwflash_ui)
  vln_add_test(NAME fwflash_updater_dlg_test SOURCES tests/updater_dlg_test.cpp
               LIBS fwflash_ui fwpackage_writer LABELS gui ENV QT_QPA_PLATFORM=offscreen)
  target_compile_options(fwflash_updater_dlg_test PRIVATE -Wno-missing-field-initializers)
  target_include_directories(fwflash_updater_dlg_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tests)
  vln_add_test(NAME fwflash_program_test SOURCES tests/fwflash_program_test.cpp LABELS gui)
  target_compile_definitions(fwflash_program_test PRIVATE FWFLASH_PROGRAM="$<TARGET_FILE:fwflash>")
  add_dependencies(fwflash_program_test fwflash)
endif()

# The updater on the whole road (label e2e, offscreen widgets).
if(TARGET fwflash_ui AND TARGET linkhub AND TARGET usblink)
  vln_add_test(NAME fwflash_e2e_test SOURCES tests/fwflash_e2e_test.cpp
               LIBS fwflash_ui fwpackage_writer devsim_core e2e_road
               LABELS e2e gui ENV QT_QPA_PLATFORM=offscreen TIMEOUT 900)
  target_compile_options(fwflash_e2e_test PRIVATE -Wno-missing-field-initializers)
  target_include_directories(fwflash_e2e_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tests
                             ${CMAKE_SOURCE_DIR}/devsim/src/main)
endif()

if(TARGET fwflash AND TARGET linkhub AND TARGET usblink)
  vln_add_test(NAME fwflash_program_road_test SOURCES tests/fwflash_program_road_test.cpp
               LIBS e2e_road LABELS e2e gui TIMEOUT 300)
  target_compile_definitions(fwflash_program_road_test PRIVATE FWFLASH_PROGRAM="$<TARGET_FILE:fwflash>")
  add_dependencies(fwflash_program_road_test fwflash)
endif()
