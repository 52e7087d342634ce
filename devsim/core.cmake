# The device end of the link protocol and its services, independent of the
# frame transport, plus the in-process media that hosts devices for tests.
# Sources of every service are picked up from src/.
file(GLOB VLN_DEVSIM_CORE_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/*.cpp)
add_library(devsim_core STATIC ${VLN_DEVSIM_CORE_SOURCES})
target_include_directories(devsim_core PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
target_link_libraries(devsim_core PUBLIC translayer plat media_api link_protocol Threads::Threads svcwire)
