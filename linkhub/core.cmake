# The server core without any user interface: the link protocol, the
# transport manager and the channel slots. Sources of every piece are picked
# up from src/.
file(GLOB VLN_LINKHUB_CORE_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/*.cpp)
add_library(linkhub_core STATIC ${VLN_LINKHUB_CORE_SOURCES})
target_include_directories(linkhub_core PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
target_link_libraries(linkhub_core PUBLIC translayer plat media_api PRIVATE link_protocol)
