# The link protocol's wire constants and frame layout, shared by the session
# layer, the device emulator and the tests' frame builders.
add_library(link_protocol INTERFACE)
target_include_directories(link_protocol INTERFACE ${CMAKE_CURRENT_SOURCE_DIR}/protocol/include)
target_link_libraries(link_protocol INTERFACE vlnbase)
