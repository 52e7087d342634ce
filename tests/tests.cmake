# End-to-end scenarios (label e2e): linkhub loading usblink over the virtual
# bus, devsim devices on it, clients through the control RPC and the pipes,
# on the road fixture of support.cmake.
if(TARGET linkhub AND TARGET devsim AND TARGET usblink)
  vln_add_test(NAME linkhub_e2e_link_echo_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/linkhub_e2e_link_echo_test.cpp
    LIBS e2e_road LABELS e2e TIMEOUT 900)
  vln_add_test(NAME linkhub_e2e_link_trace_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/linkhub_e2e_link_trace_test.cpp
    LIBS e2e_road LABELS e2e TIMEOUT 600)
  vln_add_test(NAME linkhub_e2e_stalled_client_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/linkhub_e2e_stalled_client_test.cpp
    LIBS e2e_road LABELS e2e TIMEOUT 600)
endif()

# The terminal session the console tests read their programs through.
vln_add_test(NAME shell_runner_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/shell_runner_test.cpp
  LIBS vln_testsupport LABELS unit)

# The layout check of ./test.sh, on small trees of its own.
find_program(VLN_PYTHON3 python3)
if(VLN_PYTHON3)
  add_test(NAME check_layout_test
           COMMAND ${VLN_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/scripts/check_layout_test.py)
  set_tests_properties(check_layout_test PROPERTIES LABELS unit TIMEOUT 300)
endif()

# Tests of what a user types: ./run.sh on this build tree, and every tool
# command line the README shows (label e2e).
find_program(VLN_PYTHON3 python3)
if(VLN_PYTHON3 AND TARGET linkhub AND TARGET devsim AND TARGET usblink AND TARGET devshell)
  set(SCRIPT_TESTS ${CMAKE_CURRENT_LIST_DIR}/scripts)
  add_test(NAME run_sh_test COMMAND ${VLN_PYTHON3} ${SCRIPT_TESTS}/run_sh_test.py)
  set_tests_properties(run_sh_test PROPERTIES LABELS e2e TIMEOUT 600
                       ENVIRONMENT "RUN_SH_BUILD_DIR=${CMAKE_BINARY_DIR}")
  if(TARGET datatool AND TARGET calfit)
    add_test(NAME readme_commands_test COMMAND ${VLN_PYTHON3} ${SCRIPT_TESTS}/readme_commands_test.py)
    set_tests_properties(readme_commands_test PROPERTIES LABELS e2e TIMEOUT 600
                         ENVIRONMENT "README_BUILD_DIR=${CMAKE_BINARY_DIR}")
  endif()
endif()

# cmake --install of this tree into a DESTDIR under it, the installed programs
# run together, and an application built against the install (label e2e).
if(VLN_PYTHON3 AND VLN_FLAVOUR STREQUAL "" AND TARGET linkhub AND TARGET devsim AND TARGET devshell)
  add_test(NAME install_test COMMAND ${VLN_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/scripts/install_test.py)
  set_tests_properties(install_test PROPERTIES LABELS e2e TIMEOUT 900
    ENVIRONMENT "INSTALL_BUILD_DIR=${CMAKE_BINARY_DIR};INSTALL_PREFIX=${CMAKE_INSTALL_PREFIX};INSTALL_LIBDIR=${CMAKE_INSTALL_LIBDIR};INSTALL_SYSCONFDIR=${CMAKE_INSTALL_FULL_SYSCONFDIR};INSTALL_JAVA=$<TARGET_EXISTS:vln_provider>;INSTALL_CMAKE=${CMAKE_COMMAND}")
endif()
