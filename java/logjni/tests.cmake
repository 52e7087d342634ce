# The log binding in a JVM (label java): over the real codec and its
# fixtures, once more under a decimal-comma locale, and over a stand-in codec
# for the failures the real one cannot be made to show.
set(logjni_fixtures ${CMAKE_SOURCE_DIR}/codecs/logcodec/tests/fixtures)
vln_add_java_test(NAME java_logjni_test CLASS LogjniTest ARGS ${logjni_fixtures})
vln_add_java_test(NAME java_logjni_test_german CLASS LogjniTest ARGS ${logjni_fixtures} --german
  ENV LC_ALL=de_DE.UTF-8 LANG=de_DE.UTF-8)

add_library(fake_logcodec SHARED ${CMAKE_CURRENT_SOURCE_DIR}/tests/fake_logcodec.cpp)
target_include_directories(fake_logcodec PRIVATE $<TARGET_PROPERTY:logcodec,INTERFACE_INCLUDE_DIRECTORIES>)
set_target_properties(fake_logcodec PROPERTIES CXX_VISIBILITY_PRESET hidden)
vln_add_java_test(NAME java_logjni_fake_test CLASS LogjniFakeTest
  PROPS -DLogjni.library=$<TARGET_FILE:fake_logcodec>)

# A wrapped library without the binding's exports fails the load like a
# missing one, again on a second try; other bindings still load.
vln_add_java_test(NAME java_codec_load_failure_test CLASS CodecLoadFailureTest
  ARGS ${logjni_fixtures}
  PROPS -DOdjni.library=$<TARGET_FILE:fake_logcodec>
        -DScopecodecjni.library=${CMAKE_CURRENT_BINARY_DIR}/no-such-dir/libscopecodec.so)

vln_add_java_test(NAME java_codec_reload_test CLASS CodecReloadTest ARGS ${logjni_fixtures})

# The conversion alone, over a scripted codec table (also in the asan tree,
# whose leak checker sees a codec buffer left unfreed).
vln_add_test(NAME logjni_log_merge_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/log_merge_test.cpp ${CMAKE_CURRENT_SOURCE_DIR}/src/LogMerge.cpp
  LIBS toolsupport LABELS unit asan)
target_include_directories(logjni_log_merge_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src
  $<TARGET_PROPERTY:logcodec,INTERFACE_INCLUDE_DIRECTORIES>)
