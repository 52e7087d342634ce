# The connection server program: the tray and its windows when a display is
# there, else headless (waits for SIGTERM or SIGINT).
add_executable(linkhub ${CMAKE_CURRENT_SOURCE_DIR}/src/main/linkhub_main.cpp)
target_link_libraries(linkhub PRIVATE linkhub_core linkhub_ui)
vln_version_info(linkhub PRODUCT_NAME "Connection Server" PRODUCT_VERSION "1.6.6.0")
