# vln_version_info(target [PRODUCT_NAME n] [PRODUCT_VERSION v] [FILE_DESCRIPTION d]
#                  [COPYRIGHT c] [BLOCK 040904b0] [RAW file])
# Attaches the version block to a program or library after linking: an ELF
# section ".verinfo" of "\StringFileInfo\<block>\<Key>=<value>" lines (UTF-8),
# which plat::getVersionString reads back. RAW attaches a prepared file as is
# (tests use it for a foreign block). FileVersion follows ProductVersion.
find_program(VLN_OBJCOPY NAMES objcopy llvm-objcopy REQUIRED)
set(VLN_COPYRIGHT "Copyright (C) 2026 Veltrano Instruments" CACHE STRING "LegalCopyright of every program")

function(vln_version_info target)
  cmake_parse_arguments(V "" "PRODUCT_NAME;PRODUCT_VERSION;FILE_DESCRIPTION;COPYRIGHT;BLOCK;RAW" "" ${ARGN})
  if(V_RAW)
    set(file ${V_RAW})
  else()
    if(NOT V_BLOCK)
      set(V_BLOCK 040904b0)
    endif()
    if(NOT V_COPYRIGHT)
      set(V_COPYRIGHT "${VLN_COPYRIGHT}")
    endif()
    if(NOT V_FILE_DESCRIPTION)
      set(V_FILE_DESCRIPTION "${V_PRODUCT_NAME}")
    endif()
    set(prefix "\\StringFileInfo\\${V_BLOCK}\\")
    set(text "")
    foreach(pair "ProductName=${V_PRODUCT_NAME}" "ProductVersion=${V_PRODUCT_VERSION}"
                 "FileVersion=${V_PRODUCT_VERSION}" "FileDescription=${V_FILE_DESCRIPTION}"
                 "LegalCopyright=${V_COPYRIGHT}")
      string(APPEND text "${prefix}${pair}\n")
    endforeach()
    set(file ${CMAKE_CURRENT_BINARY_DIR}/${target}.verinfo)
    file(WRITE ${file}.in "${text}")
    configure_file(${file}.in ${file} COPYONLY)
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${VLN_OBJCOPY} --remove-section=.verinfo
            --add-section .verinfo=${file} --set-section-flags .verinfo=noload,readonly
            $<TARGET_FILE:${target}>
    VERBATIM)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${file})
endfunction()
