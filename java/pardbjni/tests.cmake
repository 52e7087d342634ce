# Pardbjni over a fake library that can emit any event (label java).
add_library(fakepardbproto SHARED ${CMAKE_CURRENT_SOURCE_DIR}/tests/fake/fakepardb.cpp)
set_target_properties(fakepardbproto PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
target_include_directories(fakepardbproto PRIVATE $<TARGET_PROPERTY:pardbproto,INTERFACE_INCLUDE_DIRECTORIES>)
vln_add_java_test(NAME java_pardbjni_fake_test CLASS PardbjniFakeTest
  ARGS ${CMAKE_CURRENT_BINARY_DIR}/fake_test.log
  PROPS -DPardbjni.library=$<TARGET_FILE:fakepardbproto>
  ENV FAKEPARDB_LOG=${CMAKE_CURRENT_BINARY_DIR}/fake_test.log)
