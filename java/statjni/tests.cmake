# The status binding over a fake library that delivers any event, including
# the malformed ones the real library never produces (label java).
add_library(fakestatproto SHARED ${CMAKE_CURRENT_SOURCE_DIR}/tests/fake/fakestatproto.cpp)
set_target_properties(fakestatproto PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
target_include_directories(fakestatproto PRIVATE $<TARGET_PROPERTY:statproto,INTERFACE_INCLUDE_DIRECTORIES>)
target_link_libraries(fakestatproto PRIVATE Threads::Threads)
add_dependencies(statjni fakestatproto)

vln_add_java_test(NAME java_statjni_fake_test CLASS StatjniFakeTest
  PROPS -DStatjni.library=$<TARGET_FILE:fakestatproto>
  ENV "FAKESTATPROTO_EVENTS=2:15,6:0,2:17,2:16,3:16:0,4:16:3,3:12,5:8,5:4,1:0,4:16:8")

# Statjni on the road: a JVM on a terminal with the binding, linkhub, usblink
# on the virtual bus, devices of the test process.
if(TARGET e2e_road)
  vln_add_test(NAME statjni_road_test
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/statjni_road_test.cpp
    LIBS e2e_road vln_testsupport
    LABELS java e2e
    TIMEOUT 900)
  target_compile_definitions(statjni_road_test PRIVATE
    VLN_JAVA="${Java_JAVA_EXECUTABLE}"
    VLN_JAVA_LIB_DIR="${VLN_JAVA_LIB_DIR}"
    VLN_JAVA_CLASSPATH="${VLN_JAVA_TEST_JAR}:${VLN_PROVIDER_JAR}")
  add_dependencies(statjni_road_test statjni vln_javatests vln_provider)
endif()
