# Runtime tests in a JVM (label java).

# The wrapped library is missing: load() throws, twice, and the JVM ends.
vln_add_java_test(NAME java_load_failure_test CLASS LoadFailureTest
  PROPS -DDevmgrjni.library=/nonexistent/libdevmgr.so)
