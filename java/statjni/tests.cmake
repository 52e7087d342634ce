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
