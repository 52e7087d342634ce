# Test doubles shared by the tests of every directory: the stand-in
# connection server (FakeHub), the connection server's core over the
# in-process media (LinkhubHost) and the console on a pseudo-terminal
# (ShellRunner).
add_library(vln_testsupport STATIC
  ${CMAKE_CURRENT_LIST_DIR}/support/src/FakeHub.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support/src/LinkhubHost.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support/src/ShellRunner.cpp)
target_include_directories(vln_testsupport PUBLIC ${CMAKE_CURRENT_LIST_DIR}/support/include)
target_link_libraries(vln_testsupport PUBLIC linkhub_core devsim_core translayer plat Threads::Threads)

# The road for end-to-end tests (label e2e): linkhub loading usblink over the
# virtual bus, devsim devices on it. The fixture library e2e_road
# (tests/e2e/include/e2e/Road.h) starts the road for any e2e test;
# BenchClient drives the benchmark channel.
if(TARGET linkhub AND TARGET devsim AND TARGET usblink)
  set(E2E_DIR ${CMAKE_CURRENT_LIST_DIR}/e2e)
  # The registry file every road copies into its runtime dir.
  set(E2E_REGISTRY ${CMAKE_CURRENT_BINARY_DIR}/e2e/registry.reg)
  file(GENERATE OUTPUT ${E2E_REGISTRY} CONTENT
"Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Veltrano\\linkhub\\Media]
\"usblink\"=\"$<TARGET_FILE:usblink>\"
")
  add_library(e2e_road STATIC ${E2E_DIR}/src/Road.cpp ${E2E_DIR}/src/BenchClient.cpp)
  target_include_directories(e2e_road PUBLIC ${E2E_DIR}/include)
  target_link_libraries(e2e_road PUBLIC translayer plat devsim_core rpc_testsupport Threads::Threads)
  target_compile_definitions(e2e_road PRIVATE
    E2E_LINKHUB="$<TARGET_FILE:linkhub>"
    E2E_DEVSIM="$<TARGET_FILE:devsim>"
    E2E_USBLINK="$<TARGET_FILE:usblink>"
    E2E_REGISTRY_FILE="${E2E_REGISTRY}")
  # Whatever links the fixture gets the programs it starts built first.
  add_dependencies(e2e_road linkhub devsim usblink)
endif()
