# A test-only media plug-in that hosts emulated devices (devsim) in the
# server's process, so that the server's process tests run without USB
# media. Sources live in tests/simmedia/.
set(VLN_SIMMEDIA_DIR ${CMAKE_SOURCE_DIR}/tests/simmedia)
add_library(simmedia MODULE ${VLN_SIMMEDIA_DIR}/SimMedia.cpp)
target_link_libraries(simmedia PRIVATE devsim_core plat media_api)
set_target_properties(simmedia PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
# Only the six exports leave the module; its static layers stay private.
target_link_options(simmedia PRIVATE -Wl,--exclude-libs,ALL)
