# One test program per kind of version block, each reading its own file.
foreach(kind versioned foreign partial blank bare)
  vln_add_test(NAME banner_test_${kind} SOURCES tests/banner_test.cpp LIBS toolsupport
               LABELS unit asan)
  string(TOUPPER ${kind} upper)
  target_compile_definitions(banner_test_${kind} PRIVATE BANNER_CASE_${upper})
endforeach()
vln_version_info(banner_test_versioned PRODUCT_NAME "Banner Probe" PRODUCT_VERSION "2.3.4.5"
                 COPYRIGHT "Copyright (C) Probe & Sons")
vln_version_info(banner_test_foreign RAW ${CMAKE_CURRENT_SOURCE_DIR}/tests/foreign.verinfo)
vln_version_info(banner_test_partial RAW ${CMAKE_CURRENT_SOURCE_DIR}/tests/partial.verinfo)
vln_version_info(banner_test_blank RAW ${CMAKE_CURRENT_SOURCE_DIR}/tests/blank.verinfo)

vln_add_test(NAME toolsupport_whole_file_test SOURCES tests/whole_file_test.cpp
             LIBS toolsupport plat LABELS unit asan)
