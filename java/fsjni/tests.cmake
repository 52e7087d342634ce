# Fsjni on the road: a JVM with the binding, linkhub, usblink on the virtual
# bus, a device of the test process.
if(TARGET e2e_road)
  vln_add_test(NAME fsjni_road_test
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/fsjni_road_test.cpp
    LIBS e2e_road vln_testsupport
    LABELS java e2e
    TIMEOUT 600)
  target_compile_definitions(fsjni_road_test PRIVATE
    VLN_JAVA="${Java_JAVA_EXECUTABLE}"
    VLN_JAVA_LIB_DIR="${VLN_JAVA_LIB_DIR}"
    VLN_JAVA_CLASSPATH="${VLN_JAVA_TEST_JAR}:${VLN_PROVIDER_JAR}")
  add_dependencies(fsjni_road_test fsjni vln_javatests vln_provider)
endif()

# The binding's event switch over a fake library whose listing delivers any
# event, the malformed ones included (label java).
add_library(fakefsproto SHARED ${CMAKE_CURRENT_SOURCE_DIR}/tests/fake/fakefsproto.cpp)
set_target_properties(fakefsproto PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
target_include_directories(fakefsproto PRIVATE $<TARGET_PROPERTY:fsproto,INTERFACE_INCLUDE_DIRECTORIES>)
target_include_directories(fakefsproto PRIVATE ${CMAKE_SOURCE_DIR}/tests/support/include)
target_link_libraries(fakefsproto PRIVATE Threads::Threads)
add_dependencies(fsjni fakefsproto)

vln_add_java_test(NAME java_fsjni_fake_test CLASS FsjniFakeTest
  PROPS -DFsjni.library=$<TARGET_FILE:fakefsproto>
  ENV "FAKEFSPROTO_EVENTS=4:40:123,4:39,4:41,1:3,3:8:5,3:9,9:4,2:4:-2147483648,1:4:-2147483648,2:4:2,1:4:-107,2:4:-5,1:4:0")

# A class loader holding the provider classes and the binding is dropped:
# the unload ends the library's operations first and the dispatcher ends.
vln_add_java_test(NAME java_fsjni_unload_test CLASS FsjniUnloadTest
  ARGS ${CMAKE_CURRENT_BINARY_DIR}/fsjni_unload.log
  PROPS -DFsjni.library=$<TARGET_FILE:fakefsproto>
  ENV FAKEFSPROTO_LOG=${CMAKE_CURRENT_BINARY_DIR}/fsjni_unload.log "FAKEFSPROTO_EVENTS=3:8:1,1:4:0")
