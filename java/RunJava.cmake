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
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "java ended with ${rc}")
endif()
# -Xcheck:jni reports "WARNING in native method: ...", "WARNING: JNI local
# refs: ..." and "Warning: Calling other JNI functions in the scope of ...".
if(out MATCHES "WARNING in native method|FATAL ERROR in native method|WARNING: JNI|Warning: Calling other JNI")
  message(FATAL_ERROR "the JVM reported a JNI warning")
endif()
