# Test helpers shared by every directory.
#
# vln_add_test(NAME n SOURCES ... [LIBS ...] [LABELS ...] [TIMEOUT s] [ENV k=v ...] [ARGS ...])
#   A GoogleTest executable registered with CTest. Labels: unit, e2e, java, gui,
#   asan (also built and run in the AddressSanitizer tree), concurrency (also
#   built and run in the ThreadSanitizer tree). Without LABELS it is "unit".
#   usbemu: linkhub with usblink on libusb against an emulated USB device
#   (umockdev preload); default tree only, never asan or tsan.
#
#   The test is named after its file: NAME is the first source's name without
#   .cpp, that with the directory's prefix before it (usblink_libusb_bus_test
#   for tests/libusb_bus_test.cpp), or with a variant after it (banner_test_bare).
#
# vln_add_fuzz(TARGET t [SOURCES extra ...] [LIBS ...])
#   The fuzz target tests/fuzz/<t>_fuzz.cpp with its seeds in tests/fuzz/<t>/,
#   registered as <directory>_<t>_fuzz.
#   A libFuzzer target (LLVMFuzzerTestOneInput). In the fuzz tree it is a real
#   fuzzer run for 10 s on a copy of its corpus (label fuzz); in the other trees
#   the same source is linked with a driver that replays the corpus once
#   (labels unit and asan), so the seeds stay regression tests everywhere.

set_property(GLOBAL PROPERTY VLN_ASAN_TARGETS "")
set_property(GLOBAL PROPERTY VLN_TSAN_TARGETS "")
set_property(GLOBAL PROPERTY VLN_FUZZ_TARGETS "")

function(vln_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;ENV;ARGS" ${ARGN})
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  list(GET T_SOURCES 0 first)
  get_filename_component(stem ${first} NAME_WE)
  if(NOT T_NAME STREQUAL stem AND NOT T_NAME MATCHES "_${stem}$" AND NOT T_NAME MATCHES "^${stem}_")
    message(SEND_ERROR "test ${T_NAME} is not named after its file ${first}")
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  target_include_directories(${T_NAME} PRIVATE ${CMAKE_SOURCE_DIR}/tests/timing/include)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME} ${T_ARGS})
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT})
  if(T_ENV)
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${T_ENV}")
  endif()
  if("asan" IN_LIST T_LABELS)
    set_property(GLOBAL APPEND PROPERTY VLN_ASAN_TARGETS ${T_NAME})
  endif()
  if("concurrency" IN_LIST T_LABELS)
    set_property(GLOBAL APPEND PROPERTY VLN_TSAN_TARGETS ${T_NAME})
  endif()
endfunction()

# Extra targets a test needs in a sanitizer tree (helper programs it starts).
function(vln_test_depends test)
  get_property(asan GLOBAL PROPERTY VLN_ASAN_TARGETS)
  get_property(tsan GLOBAL PROPERTY VLN_TSAN_TARGETS)
  if(test IN_LIST asan)
    set_property(GLOBAL APPEND PROPERTY VLN_ASAN_TARGETS ${ARGN})
  endif()
  if(test IN_LIST tsan)
    set_property(GLOBAL APPEND PROPERTY VLN_TSAN_TARGETS ${ARGN})
  endif()
endfunction()

function(vln_add_fuzz)
  cmake_parse_arguments(F "" "TARGET" "SOURCES;LIBS" ${ARGN})
  if(NOT F_TARGET)
    message(SEND_ERROR "vln_add_fuzz: TARGET is missing")
    return()
  endif()
  get_filename_component(leaf ${CMAKE_CURRENT_LIST_DIR} NAME)
  set(F_NAME ${leaf}_${F_TARGET}_fuzz)
  list(PREPEND F_SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/fuzz/${F_TARGET}_fuzz.cpp)
  set(F_CORPUS ${CMAKE_CURRENT_LIST_DIR}/tests/fuzz/${F_TARGET})
  add_executable(${F_NAME} ${F_SOURCES})
  target_link_libraries(${F_NAME} PRIVATE ${F_LIBS})
  if(VLN_FLAVOUR STREQUAL "fuzz")
    target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
    set(work ${CMAKE_CURRENT_BINARY_DIR}/${F_NAME}_corpus)
    add_test(NAME ${F_NAME}
      COMMAND ${CMAKE_COMMAND} -E env ${CMAKE_SOURCE_DIR}/scripts/run-fuzz
              $<TARGET_FILE:${F_NAME}> ${F_CORPUS} ${work} 10)
    set_tests_properties(${F_NAME} PROPERTIES LABELS "fuzz" TIMEOUT 120)
    set_property(GLOBAL APPEND PROPERTY VLN_FUZZ_TARGETS ${F_NAME})
  else()
    target_sources(${F_NAME} PRIVATE ${CMAKE_SOURCE_DIR}/cmake/fuzz_replay.cpp)
    add_test(NAME ${F_NAME} COMMAND ${F_NAME} ${F_CORPUS})
    set_tests_properties(${F_NAME} PROPERTIES LABELS "unit;asan" TIMEOUT 300)
    set_property(GLOBAL APPEND PROPERTY VLN_ASAN_TARGETS ${F_NAME})
  endif()
endfunction()

function(vln_finish_test_groups)
  get_property(asan GLOBAL PROPERTY VLN_ASAN_TARGETS)
  get_property(tsan GLOBAL PROPERTY VLN_TSAN_TARGETS)
  get_property(fuzz GLOBAL PROPERTY VLN_FUZZ_TARGETS)
  add_custom_target(asan_tests)
  add_custom_target(tsan_tests)
  add_custom_target(fuzz_targets)
  if(asan)
    list(REMOVE_DUPLICATES asan)
    add_dependencies(asan_tests ${asan})
  endif()
  if(tsan)
    list(REMOVE_DUPLICATES tsan)
    add_dependencies(tsan_tests ${tsan})
  endif()
  if(fuzz)
    add_dependencies(fuzz_targets ${fuzz})
  endif()
endfunction()
