# Tests of the command framework (in process), of the program without a
# server and with a stand-in server in the test process (the program runs as
# a child), and end to end through the connection server.
vln_add_test(NAME devshell_usr_console_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/usr_console_test.cpp
  LIBS devshell_core
  LABELS unit asan)

set(DEVSHELL_TESTS ${CMAKE_CURRENT_SOURCE_DIR}/tests)

# The core command group in process, on devmgr's stand-in server.
vln_add_test(NAME devshell_core_commands_test
  SOURCES ${DEVSHELL_TESTS}/core_commands_test.cpp
  LIBS devshell_core vln_testsupport devsim_core
  LABELS unit asan)

# A console test that runs the program as a child process.
function(devshell_process_test name)
  cmake_parse_arguments(P "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  vln_add_test(NAME ${name} SOURCES ${P_SOURCES} LIBS vln_testsupport ${P_LIBS}
               LABELS ${P_LABELS})
  target_include_directories(${name} PRIVATE ${DEVSHELL_TESTS})
  target_compile_definitions(${name} PRIVATE
    DEVSHELL_PROGRAM="$<TARGET_FILE:devshell>"
    DEVSHELL_COPYRIGHT="${VLN_COPYRIGHT}")
  add_dependencies(${name} devshell)
  vln_test_depends(${name} devshell)
endfunction()

devshell_process_test(devshell_cli_test
  SOURCES ${DEVSHELL_TESTS}/devshell_cli_test.cpp
  LABELS unit asan)

# The scenarios on the stand-in server inside the test process.
devshell_process_test(devshell_e2e_test_fakehub
  SOURCES ${DEVSHELL_TESTS}/devshell_e2e_test.cpp ${DEVSHELL_TESTS}/FakeHubServer.cpp
  LIBS vln_testsupport devsim_core
  LABELS unit asan)

# The same scenarios through the connection server's core and the link
# protocol to emulated devices.
devshell_process_test(devshell_e2e_test
  SOURCES ${DEVSHELL_TESTS}/devshell_e2e_test.cpp ${DEVSHELL_TESTS}/LinkhubHostServer.cpp
  LIBS vln_testsupport devsim_core
  LABELS e2e asan)

# The same scenarios on the whole road: the linkhub program with usblink over
# the virtual bus, and the devsim program (the shared end-to-end fixture).
if(TARGET linkhub AND TARGET devsim AND TARGET usblink)
  devshell_process_test(devshell_e2e_test_vbus
    SOURCES ${DEVSHELL_TESTS}/devshell_e2e_test.cpp ${DEVSHELL_TESTS}/VbusRoadServer.cpp
    LIBS e2e_road devsim_core
    LABELS e2e)
endif()

# The status commands on the whole road, with a device of the test process.
if(TARGET linkhub AND TARGET devsim AND TARGET usblink)
  devshell_process_test(devshell_status_test
    SOURCES ${DEVSHELL_TESTS}/devshell_status_test.cpp
    LIBS e2e_road
    LABELS e2e)
endif()

# The file server commands on the whole road, with a device of the test process.
if(TARGET linkhub AND TARGET devsim AND TARGET usblink)
  devshell_process_test(devshell_files_test
    SOURCES ${DEVSHELL_TESTS}/devshell_files_test.cpp
    LIBS e2e_road devshell_core
    LABELS e2e)
endif()
