# A decimal-comma locale for the locale test, generated into the build tree
# when localedef can make one (the test skips otherwise).
set(PARCODEC_LOCALE_DIR ${CMAKE_CURRENT_BINARY_DIR}/locale)
find_program(VLN_LOCALEDEF localedef)
if(VLN_LOCALEDEF)
  add_custom_command(OUTPUT ${PARCODEC_LOCALE_DIR}/stamp
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PARCODEC_LOCALE_DIR}
    COMMAND sh -c "${VLN_LOCALEDEF} -i de_DE -f UTF-8 ${PARCODEC_LOCALE_DIR}/de_DE.UTF-8 >/dev/null 2>&1 || true"
    COMMAND ${CMAKE_COMMAND} -E touch ${PARCODEC_LOCALE_DIR}/stamp
    VERBATIM)
  add_custom_target(parcodec_test_locale DEPENDS ${PARCODEC_LOCALE_DIR}/stamp)
endif()

vln_add_test(NAME parcodec_test SOURCES tests/parcodec_test.cpp LIBS parcodec LABELS unit asan
             ENV LOCPATH=${PARCODEC_LOCALE_DIR})
target_include_directories(parcodec_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tests)
target_compile_definitions(parcodec_test PRIVATE PARCODEC_VECTORS_DIR="${CMAKE_CURRENT_SOURCE_DIR}/tests/vectors")
if(VLN_LOCALEDEF)
  add_dependencies(parcodec_test parcodec_test_locale)
endif()

# Fuzz targets: one per reader, each with a small seed corpus.
foreach(reader definition values parfile)
  set(libs parcodec)
  if(reader STREQUAL "definition")
    set(libs parcodec_core)  # looks inside the table
  endif()
  vln_add_fuzz(TARGET ${reader} LIBS ${libs})
  target_include_directories(parcodec_${reader}_fuzz PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tests
                             ${CMAKE_CURRENT_SOURCE_DIR}/include)
endforeach()
