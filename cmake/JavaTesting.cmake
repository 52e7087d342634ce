# The Java bindings' test helper, included by java/CMakeLists.txt, whose
# test jar, provider jar, binding directory and runner it uses.
#
# vln_add_java_test(NAME n CLASS main.Class [ARGS ...] [PROPS -Dk=v ...]
#                   [ENV k=v ...] [LABELS ...] [TIMEOUT s] [EXPECT_JNI_WARNING])
#   Runs `java -Xcheck:jni` on a test class (test jar + provider jar on the
#   class path, the binding directory as java.library.path). Fails on a
#   non-zero exit and on any JNI warning in the JVM's output
#   (EXPECT_JNI_WARNING turns the latter round: the runner's own test).
function(vln_add_java_test)
  cmake_parse_arguments(T "EXPECT_JNI_WARNING" "NAME;CLASS;TIMEOUT" "ARGS;PROPS;ENV;LABELS" ${ARGN})
  if(NOT T_LABELS)
    set(T_LABELS java)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  # Lists travel to the runner joined by "^^" (a ";" would split the -D).
  list(JOIN T_ARGS "^^" args)
  list(JOIN T_PROPS "^^" props)
  add_test(NAME ${T_NAME}
    COMMAND ${CMAKE_COMMAND}
      -DJAVA=${Java_JAVA_EXECUTABLE}
      "-DCLASSPATH=${VLN_JAVA_TEST_JAR}:${VLN_PROVIDER_JAR}"
      -DLIBPATH=${VLN_JAVA_LIB_DIR}
      -DCLASS=${T_CLASS}
      "-DPROPS=${props}"
      "-DARGS=${args}"
      -DEXPECT_WARNING=${T_EXPECT_JNI_WARNING}
      -P ${VLN_JAVA_RUNNER})
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT})
  if(T_ENV)
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${T_ENV}")
  endif()
endfunction()
