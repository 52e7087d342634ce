# Devmgrjni on the road: a JVM with the binding, linkhub, usblink on the
# virtual bus, devices of the test process.
if(TARGET e2e_road)
  vln_add_test(NAME devmgrjni_road_test
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/devmgrjni_road_test.cpp
    LIBS e2e_road vln_testsupport
    LABELS java e2e
    TIMEOUT 600)
  target_compile_definitions(devmgrjni_road_test PRIVATE
    VLN_JAVA="${Java_JAVA_EXECUTABLE}"
    VLN_JAVA_LIB_DIR="${VLN_JAVA_LIB_DIR}"
    VLN_JAVA_CLASSPATH="${VLN_JAVA_TEST_JAR}:${VLN_PROVIDER_JAR}")
  add_dependencies(devmgrjni_road_test devmgrjni vln_javatests vln_provider)
endif()
