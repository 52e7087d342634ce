# Runs one Java test (see vln_add_java_test): java -Xcheck:jni, then fails on
# a non-zero exit or on a JNI warning in the JVM's output.
set(command ${JAVA} -Xcheck:jni -Djava.library.path=${LIBPATH} -cp ${CLASSPATH})
if(PROPS)
  list(APPEND command ${PROPS})
endif()
list(APPEND command ${CLASS})
if(ARGS)
  list(APPEND command ${ARGS})
endif()
execute_process(COMMAND ${command} OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE rc)
message("${out}")
set(warned FALSE)
# -Xcheck:jni reports "WARNING in native method: ...", "WARNING: JNI local
# refs: ..." and "Warning: Calling other JNI functions in the scope of ...".
if(out MATCHES "WARNING in native method|FATAL ERROR in native method|WARNING: JNI|Warning: Calling other JNI")
  set(warned TRUE)
endif()
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "java ended with ${rc}")
endif()
# The runner's own test: a run that must warn.
if(EXPECT_WARNING)
  if(NOT warned)
    message(FATAL_ERROR "expected a JNI warning, the JVM gave none")
  endif()
elseif(warned)
  message(FATAL_ERROR "the JVM reported a JNI warning")
endif()
