# The link protocol's wire constants, shared by the session layer and the
# device emulator.
add_library(link_protocol INTERFACE)
target_include_directories(link_protocol INTERFACE ${CMAKE_CURRENT_SOURCE_DIR}/protocol/include)
