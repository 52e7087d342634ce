# Runtime tests in a JVM (label java).

# The wrapped library is missing: load() throws, twice, and the JVM ends.
# The same from the environment variable, and for a library that lacks an
# export (the fake has none of devmgr's).
vln_add_java_test(NAME java_load_failure_test CLASS LoadFailureTest
  PROPS -DDevmgrjni.library=/nonexistent/libdevmgr.so)
vln_add_java_test(NAME java_load_failure_test_env CLASS LoadFailureTest
  ENV Devmgrjni.library=/nonexistent/libdevmgr.so)
vln_add_java_test(NAME java_load_failure_test_missing_export CLASS LoadFailureTest
  PROPS -DDevmgrjni.library=$<TARGET_FILE:fakecb>)

# The fake registration library and the test binding over it; both go into
# the binding directory like a real pair.
add_library(fakecb SHARED ${CMAKE_CURRENT_SOURCE_DIR}/tests/fake/fakecb.cpp)
set_target_properties(fakecb PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
target_include_directories(fakecb INTERFACE ${CMAKE_CURRENT_SOURCE_DIR}/tests/fake)
target_link_libraries(fakecb PRIVATE Threads::Threads)
target_include_directories(fakecb PRIVATE ${CMAKE_SOURCE_DIR}/tests/support/include)
vln_add_java_binding(fakejni
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/fake/Fakejni.cpp
  WRAPS fakecb
  CLASS vlntest.Fakejni
  HEADERS vln_javatests_headers)

vln_add_java_test(NAME java_fake_runtime_test CLASS FakeRuntimeTest)
vln_add_java_test(NAME java_fake_load_refusal_test CLASS FakeLoadRefusalTest)
vln_add_java_test(NAME java_fake_exit_test CLASS FakeExitTest)
vln_add_java_test(NAME java_fake_unload_test CLASS FakeUnloadTest
  ARGS ${CMAKE_CURRENT_BINARY_DIR}/unload_test.log
  ENV FAKECB_LOG=${CMAKE_CURRENT_BINARY_DIR}/unload_test.log)
# The runner itself: it sees the JVM's warning about a JNI misuse made on
# purpose (any other run with a warning fails).
vln_add_java_test(NAME java_fake_misuse_main CLASS FakeMisuseMain EXPECT_JNI_WARNING)

# The pure parts without a JVM: text helpers and the event queue.
vln_add_test(NAME vlnjni_text_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/text_test.cpp
  LIBS vlnjni
  LABELS unit asan concurrency)
vln_add_test(NAME vlnjni_event_queue_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/event_queue_test.cpp
  LIBS vlnjni
  LABELS unit asan concurrency)

# The provider classes carry the names and descriptors the bindings and
# applications rely on.
vln_add_java_test(NAME java_provider_contract_test CLASS ProviderContractTest)
