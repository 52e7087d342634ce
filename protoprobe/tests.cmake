# Tests of the exerciser: its pieces in process, and the program end to end
# (linkhub with usblink over the virtual bus, devsim) through the shell and a
# pseudo-terminal.
set(PROTOPROBE_TESTS ${CMAKE_CURRENT_SOURCE_DIR}/tests)

# The pieces in process, one test per unit.
foreach(unit IN ITEMS hex_text program prot_console prot_exercizer protocol_consoles
                      status_console param_db_console file_server_runner interactive_console)
  vln_add_test(NAME protoprobe_${unit}_test
    SOURCES ${PROTOPROBE_TESTS}/${unit}_test.cpp
    LIBS protoprobe_core
    LABELS unit asan concurrency)
endforeach()

# The program on the whole road, run through the shell and on a
# pseudo-terminal by the shared test support (testsupport/ShellRunner.h).
if(TARGET linkhub AND TARGET devsim AND TARGET usblink)
  vln_add_test(NAME protoprobe_e2e_test
    SOURCES ${PROTOPROBE_TESTS}/protoprobe_e2e_test.cpp
    LIBS e2e_road vln_testsupport
    LABELS e2e asan TIMEOUT 900)
  target_compile_definitions(protoprobe_e2e_test PRIVATE
    PROTOPROBE_PROGRAM="$<TARGET_FILE:protoprobe>")
  add_dependencies(protoprobe_e2e_test protoprobe)
  vln_test_depends(protoprobe_e2e_test protoprobe linkhub devsim usblink)
endif()

vln_add_test(NAME digscope_console_test
  SOURCES ${PROTOPROBE_TESTS}/digscope_console_test.cpp
  LIBS protoprobe_core
  LABELS unit asan)

if(TARGET linkhub AND TARGET devsim AND TARGET usblink AND TARGET datatool)
  vln_add_test(NAME protoprobe_e2e_digscope_console_test
    SOURCES ${PROTOPROBE_TESTS}/protoprobe_e2e_digscope_console_test.cpp
    LIBS protoprobe_core e2e_road vln_testsupport
    LABELS e2e asan TIMEOUT 600)
  target_compile_definitions(protoprobe_e2e_digscope_console_test PRIVATE
    PROTOPROBE_PROGRAM="$<TARGET_FILE:protoprobe>" DATATOOL_PROGRAM="$<TARGET_FILE:datatool>")
  add_dependencies(protoprobe_e2e_digscope_console_test protoprobe datatool)
  vln_test_depends(protoprobe_e2e_digscope_console_test protoprobe linkhub devsim usblink datatool)
endif()
