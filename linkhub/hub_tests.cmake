# Tests of the connection server core and of the linkhub program.
set(HUB_TESTS ${CMAKE_CURRENT_SOURCE_DIR}/tests)

# Media libraries that the media scan must refuse.
add_library(hub_media_noenvdestroy MODULE ${HUB_TESTS}/hub_partial_media.cpp)
add_library(hub_media_refusing MODULE ${HUB_TESTS}/hub_partial_media.cpp)
target_compile_definitions(hub_media_refusing PRIVATE HUB_REFUSE_LOAD)
add_library(hub_media_unresolved MODULE ${HUB_TESTS}/hub_partial_media.cpp)
target_compile_definitions(hub_media_unresolved PRIVATE HUB_UNRESOLVED)
foreach(m hub_media_noenvdestroy hub_media_refusing hub_media_unresolved)
  target_link_libraries(${m} PRIVATE media_api)
  set_target_properties(${m} PROPERTIES CXX_VISIBILITY_PRESET hidden)
endforeach()

set(HUB_TEST_DEFINITIONS
  SIMMEDIA_MODULE="$<TARGET_FILE:simmedia>"
  HUB_MEDIA_NOENVDESTROY="$<TARGET_FILE:hub_media_noenvdestroy>"
  HUB_MEDIA_REFUSING="$<TARGET_FILE:hub_media_refusing>"
  HUB_MEDIA_UNRESOLVED="$<TARGET_FILE:hub_media_unresolved>"
  LINKHUB_PROGRAM="$<TARGET_FILE:linkhub>")
set(HUB_TEST_HELPERS simmedia hub_media_noenvdestroy hub_media_refusing hub_media_unresolved
  linkhub)

function(hub_test name)
  vln_add_test(NAME ${name} SOURCES ${HUB_TESTS}/${name}.cpp ${ARGN})
  target_include_directories(${name} PRIVATE ${HUB_TESTS})
  target_compile_definitions(${name} PRIVATE ${HUB_TEST_DEFINITIONS})
  add_dependencies(${name} ${HUB_TEST_HELPERS})
  vln_test_depends(${name} ${HUB_TEST_HELPERS})
endfunction()

hub_test(hub_manager_test LIBS linkhub_core devsim_core LABELS unit asan concurrency)
hub_test(hub_server_test LIBS linkhub_core devsim_core LABELS unit asan concurrency)
hub_test(hub_app_test LIBS linkhub_core devsim_core LABELS unit asan)
hub_test(hub_process_test LIBS linkhub_core devsim_core rpc_testsupport LABELS unit asan)
hub_test(hub_concurrency_test LIBS linkhub_core devsim_core LABELS unit concurrency TIMEOUT 600)
