# The updater on the whole road (label e2e, offscreen widgets).
if(TARGET fwflash_ui AND TARGET linkhub AND TARGET usblink)
  vln_add_test(NAME fwflash_e2e_test SOURCES tests/e2e_update_test.cpp
               LIBS fwflash_ui fwpackage_writer devsim_core e2e_road
               LABELS e2e gui ENV QT_QPA_PLATFORM=offscreen TIMEOUT 900)
  target_compile_options(fwflash_e2e_test PRIVATE -Wno-missing-field-initializers)
  target_include_directories(fwflash_e2e_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tests
                             ${CMAKE_SOURCE_DIR}/devsim/src/main)
endif()

if(TARGET fwflash AND TARGET linkhub AND TARGET usblink)
  vln_add_test(NAME fwflash_program_road_test SOURCES tests/program_road_test.cpp
               LIBS e2e_road LABELS e2e gui TIMEOUT 300)
  target_compile_definitions(fwflash_program_road_test PRIVATE FWFLASH_PROGRAM="$<TARGET_FILE:fwflash>")
  add_dependencies(fwflash_program_road_test fwflash)
endif()
