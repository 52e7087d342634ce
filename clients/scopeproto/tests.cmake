# Tests of scopeproto: end to end through the linkhub program and usblink to
# devices of the test process, and a registration stress.
set(SCOPEPROTO_TESTS ${CMAKE_CURRENT_SOURCE_DIR}/tests)

if(TARGET linkhub AND TARGET devsim AND TARGET usblink)
  vln_add_test(NAME scopeproto_road_test
    SOURCES ${SCOPEPROTO_TESTS}/scopeproto_road_test.cpp
    LIBS scopeproto scopecodec e2e_road vln_testsupport
    LABELS e2e asan TIMEOUT 600)
  target_include_directories(scopeproto_road_test PRIVATE ${SCOPEPROTO_TESTS})
  vln_test_depends(scopeproto_road_test linkhub usblink devsim)
endif()

if(TARGET linkhub AND TARGET devsim AND TARGET usblink)
  vln_add_test(NAME scopeproto_stress_test
    SOURCES ${SCOPEPROTO_TESTS}/scopeproto_stress_test.cpp
    LIBS scopeproto e2e_road plat vln_testsupport
    LABELS e2e concurrency)
  target_include_directories(scopeproto_stress_test PRIVATE ${SCOPEPROTO_TESTS})
  vln_test_depends(scopeproto_stress_test linkhub usblink devsim)
endif()

# The message layouts under libFuzzer (a corpus replay in the other trees).
vln_add_fuzz(TARGET reply SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/src/ScopeReply.cpp LIBS svcwire)
target_include_directories(scopeproto_reply_fuzz PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR}/include)

# The library's threads held at its pause points: unregistration inside a
# request, device messages while a channel opens (also under ThreadSanitizer).
if(TARGET linkhub AND TARGET devsim AND TARGET usblink)
  vln_add_test(NAME scopeproto_interleaving_test
    SOURCES ${SCOPEPROTO_TESTS}/scopeproto_interleaving_test.cpp
    LIBS scopeproto e2e_road vln_testsupport
    LABELS e2e concurrency)
  target_include_directories(scopeproto_interleaving_test PRIVATE ${SCOPEPROTO_TESTS}
    ${CMAKE_SOURCE_DIR}/clients/common/include)
  vln_test_depends(scopeproto_interleaving_test linkhub usblink devsim)
endif()
