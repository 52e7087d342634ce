# The server's windows, kept apart from the core: the logic behind them
# (no Qt; tested without a display) and the Qt 6 widgets.
find_package(Qt6 REQUIRED COMPONENTS Widgets Test)

file(GLOB VLN_LINKHUB_UILOGIC_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/ui/logic/*.cpp)
add_library(linkhub_uilogic STATIC ${VLN_LINKHUB_UILOGIC_SOURCES})
target_include_directories(linkhub_uilogic PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/ui/include)
target_link_libraries(linkhub_uilogic PUBLIC linkhub_core translayer plat PRIVATE devmgr vlnbase)

file(GLOB VLN_LINKHUB_UI_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_SOURCE_DIR}/ui/qt/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/ui/include/linkhub/ui/*.h)
add_library(linkhub_ui STATIC ${VLN_LINKHUB_UI_SOURCES})
set_target_properties(linkhub_ui PROPERTIES AUTOMOC ON)
target_link_libraries(linkhub_ui PUBLIC linkhub_uilogic Qt6::Widgets)
target_compile_definitions(linkhub_ui PRIVATE QT_NO_KEYWORDS)

# The README's pictures of the windows (not built by default):
#   cmake --build --preset default --target linkhub_ui_pictures
#   build/default/linkhub/linkhub_ui_pictures linkhub/docs
add_executable(linkhub_ui_pictures EXCLUDE_FROM_ALL ${CMAKE_CURRENT_SOURCE_DIR}/ui/tools/ui_pictures.cpp)
target_link_libraries(linkhub_ui_pictures PRIVATE linkhub_ui devsim_core devmgr)
target_compile_definitions(linkhub_ui_pictures PRIVATE QT_NO_KEYWORDS)
vln_version_info(linkhub_ui_pictures PRODUCT_NAME "Connection Server" PRODUCT_VERSION "1.6.6.0")
