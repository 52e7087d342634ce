# Pardbjni over a fake library that can emit any event (label java).
add_library(fakepardbproto SHARED ${CMAKE_CURRENT_SOURCE_DIR}/tests/fake/fakepardb.cpp)
set_target_properties(fakepardbproto PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
target_include_directories(fakepardbproto PRIVATE $<TARGET_PROPERTY:pardbproto,INTERFACE_INCLUDE_DIRECTORIES>)
target_include_directories(fakepardbproto PRIVATE ${CMAKE_SOURCE_DIR}/tests/support/include)
vln_add_java_test(NAME java_pardbjni_fake_test CLASS PardbjniFakeTest
  ARGS ${CMAKE_CURRENT_BINARY_DIR}/fake_test.log
  PROPS -DPardbjni.library=$<TARGET_FILE:fakepardbproto>
  ENV FAKEPARDB_LOG=${CMAKE_CURRENT_BINARY_DIR}/fake_test.log)

# On the road: linkhub, usblink on the virtual bus, a device of the test
# process (labels java, e2e).
if(TARGET e2e_road)
  vln_add_test(NAME pardbjni_road_test
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/pardbjni_road_test.cpp
    LIBS e2e_road vln_testsupport
    LABELS java e2e
    TIMEOUT 600)
  target_include_directories(pardbjni_road_test PRIVATE ${CMAKE_SOURCE_DIR}/java/testkit)
  target_compile_definitions(pardbjni_road_test PRIVATE
    VLN_JAVA="${Java_JAVA_EXECUTABLE}"
    VLN_JAVA_LIB_DIR="${VLN_JAVA_LIB_DIR}"
    VLN_JAVA_CLASSPATH="${VLN_JAVA_TEST_JAR}:${VLN_PROVIDER_JAR}")
  add_dependencies(pardbjni_road_test pardbjni vln_javatests vln_provider)
endif()

# A dropped class loader unloads the binding: each id unregistered once, the
# dispatcher gone (BindingUnloadTest serves scopejni too).
vln_add_java_test(NAME java_pardbjni_binding_unload_test CLASS BindingUnloadTest
  ARGS eu.veltrano.zamo.DeviceCommunication.provider.Pardbjni connectRemoteHw Pardbjni
       ${CMAKE_CURRENT_BINARY_DIR}/unload_test.log
  PROPS -DPardbjni.library=$<TARGET_FILE:fakepardbproto>
  ENV FAKEPARDB_LOG=${CMAKE_CURRENT_BINARY_DIR}/unload_test.log)
