# The scope capture binding in a JVM (label java): over the real decoder and
# its fixtures, once more under a decimal-comma locale, and over a stand-in
# decoder that returns codes the real one never does.
set(scopecodecjni_fixtures ${CMAKE_SOURCE_DIR}/codecs/scopecodec/tests/fixtures)
vln_add_java_test(NAME java_scopecodecjni_test CLASS ScopecodecjniTest ARGS ${scopecodecjni_fixtures})
vln_add_java_test(NAME java_scopecodecjni_test_german CLASS ScopecodecjniTest
  ARGS ${scopecodecjni_fixtures} --german ENV LC_ALL=de_DE.UTF-8 LANG=de_DE.UTF-8)

add_library(fake_scopecodec SHARED ${CMAKE_CURRENT_SOURCE_DIR}/tests/fake_scopecodec.cpp)
target_include_directories(fake_scopecodec PRIVATE $<TARGET_PROPERTY:scopecodec,INTERFACE_INCLUDE_DIRECTORIES>)
set_target_properties(fake_scopecodec PROPERTIES CXX_VISIBILITY_PRESET hidden)
vln_add_java_test(NAME java_scopecodecjni_fake_test CLASS ScopecodecjniFakeTest
  PROPS -DScopecodecjni.library=$<TARGET_FILE:fake_scopecodec>)
