# On the road: linkhub, usblink on the virtual bus, a scope device of the
# test process (labels java, e2e).
if(TARGET e2e_road)
  vln_add_test(NAME scopejni_road_test
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/scopejni_road_test.cpp
    LIBS e2e_road vln_testsupport
    LABELS java e2e
    TIMEOUT 600)
  target_include_directories(scopejni_road_test PRIVATE ${CMAKE_SOURCE_DIR}/java/testkit)
  target_compile_definitions(scopejni_road_test PRIVATE
    VLN_JAVA="${Java_JAVA_EXECUTABLE}"
    VLN_JAVA_LIB_DIR="${VLN_JAVA_LIB_DIR}"
    VLN_JAVA_CLASSPATH="${VLN_JAVA_TEST_JAR}:${VLN_PROVIDER_JAR}")
  add_dependencies(scopejni_road_test scopejni vln_javatests vln_provider)
endif()

# Scopejni over a fake library that can emit any event (label java).
add_library(fakescopeproto SHARED ${CMAKE_CURRENT_SOURCE_DIR}/tests/fake/fakescope.cpp)
set_target_properties(fakescopeproto PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
target_include_directories(fakescopeproto PRIVATE $<TARGET_PROPERTY:scopeproto,INTERFACE_INCLUDE_DIRECTORIES>)
target_include_directories(fakescopeproto PRIVATE ${CMAKE_SOURCE_DIR}/tests/support/include)
vln_add_java_test(NAME java_scopejni_fake_test CLASS ScopejniFakeTest
  ARGS ${CMAKE_CURRENT_BINARY_DIR}/fake_test.log
  PROPS -DScopejni.library=$<TARGET_FILE:fakescopeproto>
  ENV FAKESCOPE_LOG=${CMAKE_CURRENT_BINARY_DIR}/fake_test.log)

# A dropped class loader unloads the binding (the timing classes are held
# weakly too): each id unregistered once, the dispatcher gone.
vln_add_java_test(NAME java_scopejni_binding_unload_test CLASS BindingUnloadTest
  ARGS eu.veltrano.zamo.DeviceCommunication.provider.DigitalScope.Scopejni registerRemote Scopejni
       ${CMAKE_CURRENT_BINARY_DIR}/unload_test.log
  PROPS -DScopejni.library=$<TARGET_FILE:fakescopeproto>
  ENV FAKESCOPE_LOG=${CMAKE_CURRENT_BINARY_DIR}/unload_test.log)
