# The connection server program, headless: waits for SIGTERM or SIGINT.
add_executable(linkhub ${CMAKE_CURRENT_SOURCE_DIR}/src/main/linkhub_main.cpp)
target_link_libraries(linkhub PRIVATE linkhub_core)
vln_version_info(linkhub PRODUCT_NAME "linkhub" PRODUCT_VERSION "1.6.6.0")
