# linkhub's tests: the link protocol layer, the server core, the linkhub
# program as a process, and the windows, with the media plug-ins they load.
set(HUB_TESTS ${CMAKE_CURRENT_LIST_DIR}/tests)

# A test-only media plug-in that hosts emulated devices (devsim) in the
# server's process, so that the server's process tests run without USB
# media.
add_library(simmedia MODULE ${HUB_TESTS}/SimMedia.cpp)
target_link_libraries(simmedia PRIVATE devsim_core plat media_api)
set_target_properties(simmedia PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
# Only the six exports leave the module; its static layers stay private.
target_link_options(simmedia PRIVATE -Wl,--exclude-libs,ALL)

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

# Tests of the link protocol layer: table tests over a scripted media (whose
# acknowledgement and poll timers run on the layer's thread, hence tsan), the
# soak against the emulated device through the fault-injecting media, and the
# fuzz target of the receive path.
vln_add_test(NAME session_layer_test
  SOURCES ${HUB_TESTS}/session_layer_test.cpp
  LIBS linkhub_core link_protocol
  LABELS unit asan concurrency)

vln_add_test(NAME link_protocol_test
  SOURCES ${HUB_TESTS}/link_protocol_test.cpp
  LIBS link_protocol
  LABELS unit)

# How the frames trace shows a frame.
vln_add_test(NAME link_trace_test
  SOURCES ${HUB_TESTS}/link_trace_test.cpp
  LIBS linkhub_core
  LABELS unit asan)
target_include_directories(link_trace_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/src)

vln_add_test(NAME session_layer_soak_test
  SOURCES ${HUB_TESTS}/session_layer_soak_test.cpp
  LIBS linkhub_core devsim_core
  LABELS unit
  TIMEOUT 400)

# The same soak, short, for the ThreadSanitizer tree.
vln_add_test(NAME session_layer_soak_test_short
  SOURCES ${HUB_TESTS}/session_layer_soak_test.cpp
  LIBS linkhub_core devsim_core
  LABELS concurrency
  ENV SESSION_SOAK_SECONDS=3
  TIMEOUT 400)

vln_add_fuzz(TARGET session_rx LIBS linkhub_core)

# Tests of the connection server core and of the linkhub program.
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

hub_test(transport_manager_test LIBS linkhub_core devsim_core LABELS unit asan concurrency)
hub_test(transport_session_handler_test LIBS linkhub_core devsim_core LABELS unit asan)
hub_test(tr_if_server_test LIBS linkhub_core devsim_core LABELS unit asan concurrency)
hub_test(conn_server_app_test LIBS linkhub_core devsim_core LABELS unit asan)
hub_test(linkhub_process_test LIBS linkhub_core devsim_core rpc_testsupport LABELS unit asan)
hub_test(tr_if_server_concurrency_test LIBS linkhub_core devsim_core LABELS unit concurrency TIMEOUT 600)

# The logic behind the windows, without a display.
vln_add_test(NAME device_list_logic_test
  SOURCES ${HUB_TESTS}/device_list_logic_test.cpp
  LIBS linkhub_uilogic LABELS unit asan concurrency)

# The windows on the offscreen platform, with the server core in the test's
# process over the in-process media and devsim devices.
vln_add_test(NAME gui_shell_test
  SOURCES ${HUB_TESTS}/gui_shell_test.cpp
  LIBS linkhub_ui devsim_core devmgr Qt6::Test
  LABELS gui asan
  TIMEOUT 600
  ENV QT_QPA_PLATFORM=offscreen
      LSAN_OPTIONS=suppressions=${HUB_TESTS}/ui_lsan.supp)
vln_version_info(gui_shell_test PRODUCT_NAME "Connection Server" PRODUCT_VERSION "1.6.6.0")
target_compile_definitions(gui_shell_test PRIVATE
  QT_NO_KEYWORDS SPAWN_RECORDER="$<TARGET_FILE:spawn_recorder>" UI_TEST_COPYRIGHT="${VLN_COPYRIGHT}")
add_dependencies(gui_shell_test spawn_recorder)
vln_test_depends(gui_shell_test spawn_recorder)

# The program with and without a display.
hub_test(linkhub_display_test LIBS linkhub_core devsim_core rpc_testsupport LABELS gui)
