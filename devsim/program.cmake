# The devsim program: emulated devices on the virtual USB bus.
add_executable(devsim
  ${CMAKE_CURRENT_LIST_DIR}/src/main/main.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/main/DevsimOptions.cpp)
target_include_directories(devsim PRIVATE ${CMAKE_CURRENT_LIST_DIR}/src/main)
target_link_libraries(devsim PRIVATE devsim_core plat translayer fwpackage)
vln_version_info(devsim PRODUCT_NAME "devsim" PRODUCT_VERSION ${PROJECT_VERSION})
