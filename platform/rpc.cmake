# Tests of the control RPC transport, the registry file, the instance lock,
# module loading, the version section and the system texts.

# Shared by the RPC tests here and the channel client tests of translayer:
# a private runtime dir per test, raw wire access, helper child processes.
add_library(rpc_testsupport STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/tests/rpc_fixture.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/tests/rpc_child.cpp)
target_include_directories(rpc_testsupport PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/tests)
target_link_libraries(rpc_testsupport PUBLIC plat GTest::gtest Threads::Threads)

vln_add_test(NAME rpc_transport_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/rpc_transport_test.cpp
  LIBS rpc_testsupport plat LABELS unit asan)
vln_add_test(NAME rpc_pool_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/rpc_pool_test.cpp
  LIBS rpc_testsupport plat LABELS unit concurrency)

add_executable(rpc_instance_helper ${CMAKE_CURRENT_SOURCE_DIR}/tests/rpc_instance_helper.cpp)
target_link_libraries(rpc_instance_helper PRIVATE plat)
vln_add_test(NAME rpc_instance_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/rpc_instance_test.cpp
  LIBS rpc_testsupport plat LABELS unit)
target_compile_definitions(rpc_instance_test PRIVATE
  RPC_INSTANCE_HELPER="$<TARGET_FILE:rpc_instance_helper>")
add_dependencies(rpc_instance_test rpc_instance_helper)

vln_add_test(NAME rpc_registry_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/rpc_registry_test.cpp
  LIBS plat LABELS unit asan)

# Version section: the test program carries its own block; helpers carry a
# block of another language, none at all, and a module its own.
set(rpc_foreign_block ${CMAKE_CURRENT_BINARY_DIR}/rpc_verinfo_foreign.txt)
file(WRITE ${rpc_foreign_block}
  "\\StringFileInfo\\040704b0\\ProductName=Fremdprogramm\n"
  "\\StringFileInfo\\040704b0\\ProductVersion=2.0.0.0\n")
add_executable(rpc_verinfo_foreign ${CMAKE_CURRENT_SOURCE_DIR}/tests/rpc_verinfo_programs.cpp)
vln_version_info(rpc_verinfo_foreign RAW ${rpc_foreign_block})
add_executable(rpc_verinfo_none ${CMAKE_CURRENT_SOURCE_DIR}/tests/rpc_verinfo_programs.cpp)
add_library(rpc_verinfo_module MODULE ${CMAKE_CURRENT_SOURCE_DIR}/tests/rpc_verinfo_module.cpp)
target_link_libraries(rpc_verinfo_module PRIVATE plat)
set_target_properties(rpc_verinfo_module PROPERTIES CXX_VISIBILITY_PRESET hidden)
vln_version_info(rpc_verinfo_module PRODUCT_NAME "Verinfo Module" PRODUCT_VERSION "3.0.0.1")

vln_add_test(NAME rpc_verinfo_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/rpc_verinfo_test.cpp
  LIBS plat LABELS unit asan)
vln_version_info(rpc_verinfo_test PRODUCT_NAME "Verinfo Test" PRODUCT_VERSION "1.2.3.4")
target_compile_definitions(rpc_verinfo_test PRIVATE
  RPC_VERINFO_FOREIGN="$<TARGET_FILE:rpc_verinfo_foreign>"
  RPC_VERINFO_NONE="$<TARGET_FILE:rpc_verinfo_none>"
  RPC_VERINFO_MODULE="$<TARGET_FILE:rpc_verinfo_module>")
add_dependencies(rpc_verinfo_test rpc_verinfo_foreign rpc_verinfo_none rpc_verinfo_module)
vln_test_depends(rpc_verinfo_test rpc_verinfo_foreign rpc_verinfo_none rpc_verinfo_module)

vln_add_test(NAME rpc_sysmsg_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/rpc_sysmsg_test.cpp
  LIBS plat LABELS unit)

# The two file parsers, fuzzed on exact-size buffers (a corpus replay in the
# ordinary trees).
vln_add_fuzz(NAME rpc_verinfo_fuzz SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/rpc_verinfo_fuzz.cpp
  LIBS plat CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/tests/fuzz/rpc_verinfo)
vln_add_fuzz(NAME rpc_registry_fuzz SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/rpc_registry_fuzz.cpp
  LIBS plat CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/tests/fuzz/rpc_registry)
