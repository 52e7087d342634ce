# Tests of the link protocol layer: table tests over a scripted media, the
# soak against the emulated device through the fault-injecting media, and the
# fuzz target of the receive path.
vln_add_test(NAME session_link_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/session_link_test.cpp
  LIBS linkhub_core link_protocol
  LABELS unit asan)

vln_add_test(NAME link_protocol_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/link_protocol_test.cpp
  LIBS link_protocol
  LABELS unit)

# How the frames trace shows a frame.
vln_add_test(NAME link_trace_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/link_trace_test.cpp
  LIBS linkhub_core
  LABELS unit asan)
target_include_directories(link_trace_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)

vln_add_test(NAME session_soak_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/session_soak_test.cpp
  LIBS linkhub_core devsim_core
  LABELS unit
  TIMEOUT 400)

# The same soak, short, for the ThreadSanitizer tree.
vln_add_test(NAME session_soak_short_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/session_soak_test.cpp
  LIBS linkhub_core devsim_core
  LABELS concurrency
  ENV SESSION_SOAK_SECONDS=3
  TIMEOUT 400)

vln_add_fuzz(NAME session_rx_fuzz
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/session_rx_fuzz.cpp
  LIBS linkhub_core
  CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/tests/fuzz_corpus_link)
