# The object dictionary binding in a JVM (label java): over the real codec and
# its vectors, once more under a decimal-comma locale, and over a stand-in
# codec that breaks its promises.
set(odjni_vectors ${CMAKE_SOURCE_DIR}/codecs/odcodec/tests/vectors)
vln_add_java_test(NAME java_odjni_test CLASS OdjniTest ARGS ${odjni_vectors})
vln_add_java_test(NAME java_odjni_test_german CLASS OdjniTest ARGS ${odjni_vectors} --german
  ENV LC_ALL=de_DE.UTF-8 LANG=de_DE.UTF-8)

add_library(fake_odcodec SHARED ${CMAKE_CURRENT_SOURCE_DIR}/tests/fake_odcodec.cpp)
target_include_directories(fake_odcodec PRIVATE $<TARGET_PROPERTY:odcodec,INTERFACE_INCLUDE_DIRECTORIES>)
set_target_properties(fake_odcodec PROPERTIES CXX_VISIBILITY_PRESET hidden)
vln_add_java_test(NAME java_odjni_fake_test CLASS OdjniFakeTest
  PROPS -DOdjni.library=$<TARGET_FILE:fake_odcodec>)
