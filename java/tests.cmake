# Every binding exports exactly JNI_OnLoad, JNI_OnUnload and the natives its
# class declares: the dynamic symbols (nm -D) against the prototypes javac
# generated from the jar. Bindings added with vln_add_java_binding anywhere
# under java/ are in the list.
get_property(bindings GLOBAL PROPERTY VLN_JAVA_BINDINGS)
set(pairs "")
foreach(entry IN LISTS bindings)
  string(REPLACE "|" ";" parts "${entry}")
  list(GET parts 0 target)
  list(GET parts 1 class)
  list(GET parts 2 headers)
  string(REPLACE "." "_" stem "${class}")
  get_target_property(dir ${headers} NATIVE_HEADERS_DIRECTORY)
  list(APPEND pairs "$<TARGET_FILE:${target}>=${dir}/${stem}.h")
endforeach()
list(JOIN pairs "^^" pairs)
add_test(NAME java_exports_test
  COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} "-DPAIRS=${pairs}" -P ${CMAKE_CURRENT_SOURCE_DIR}/CheckExports.cmake)
set_tests_properties(java_exports_test PROPERTIES LABELS java TIMEOUT 120)
