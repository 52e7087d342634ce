# The parameter binding in a JVM (label java): over the real codec and its
# vectors, once more under a decimal-comma locale, and over a stand-in codec.
set(parjni_vectors ${CMAKE_SOURCE_DIR}/codecs/parcodec/tests/vectors)
vln_add_java_test(NAME java_parjni_test CLASS ParjniTest ARGS ${parjni_vectors})
vln_add_java_test(NAME java_parjni_test_german CLASS ParjniTest ARGS ${parjni_vectors} --german
  ENV LC_ALL=de_DE.UTF-8 LANG=de_DE.UTF-8)

add_library(fake_parcodec SHARED ${CMAKE_CURRENT_SOURCE_DIR}/tests/fake_parcodec.cpp)
target_include_directories(fake_parcodec PRIVATE $<TARGET_PROPERTY:parcodec,INTERFACE_INCLUDE_DIRECTORIES>)
set_target_properties(fake_parcodec PROPERTIES CXX_VISIBILITY_PRESET hidden)
vln_add_java_test(NAME java_parjni_fake_test CLASS ParjniFakeTest
  PROPS -DParjni.library=$<TARGET_FILE:fake_parcodec>)

# The conversion alone, over a scripted codec table (also in the asan tree).
vln_add_test(NAME parjni_par_decode_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/par_decode_test.cpp ${CMAKE_CURRENT_SOURCE_DIR}/src/ParDecode.cpp
  LABELS unit asan)
target_include_directories(parjni_par_decode_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src
  $<TARGET_PROPERTY:parcodec,INTERFACE_INCLUDE_DIRECTORIES>)
