# Tests of the virtual USB bus sockets, the directory watcher and the
# transmit-event setter.
vln_add_test(NAME vbus_socket_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/vbus_socket_test.cpp
  LIBS plat LABELS unit asan)
vln_add_test(NAME vbus_dirwatch_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/vbus_dirwatch_test.cpp
  LIBS plat LABELS unit)
