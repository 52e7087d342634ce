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
