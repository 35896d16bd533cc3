# The resource scripts in resources/ are the one source of the property list,
# terminology, string table and dialog template. Both builds compile them with
# the same windres: the Windows module links them as a resource section, the
# native module carries the compiled .res image in its ELF section "gw_rsrc".

find_program(GW_WINDRES NAMES ${CMAKE_RC_COMPILER} i686-w64-mingw32-windres x86_64-w64-mingw32-windres windres
             REQUIRED)

function(gw_add_resources target rc_file)
  get_filename_component(rc_dir ${rc_file} DIRECTORY)
  file(GLOB rc_inputs CONFIGURE_DEPENDS ${rc_dir}/*.rc ${rc_dir}/*.h ${rc_dir}/*.bin)
  if(WIN32)
    enable_language(RC)
    add_library(${target} OBJECT ${rc_file})
    set_source_files_properties(${rc_file} PROPERTIES OBJECT_DEPENDS "${rc_inputs}")
    target_include_directories(${target} PRIVATE ${rc_dir})
  else()
    set(res_file ${CMAKE_CURRENT_BINARY_DIR}/Glyphweave.res)
    add_custom_command(
      OUTPUT ${res_file}
      COMMAND ${GW_WINDRES} -I ${rc_dir} -O res -i ${rc_file} -o ${res_file}
      DEPENDS ${rc_inputs}
      COMMENT "Compiling resources with windres"
      VERBATIM)
    set(asm_file ${CMAKE_CURRENT_BINARY_DIR}/gw_rsrc.S)
    file(WRITE ${asm_file}
      "/* The compiled resources, byte for byte as windres wrote them. */\n"
      "    .section gw_rsrc,\"a\"\n"
      "    .balign 16\n"
      "    .incbin \"${res_file}\"\n"
      "    .section .note.GNU-stack,\"\",@progbits\n")
    add_custom_target(${target}_res DEPENDS ${res_file})
    add_library(${target} OBJECT ${asm_file})
    add_dependencies(${target} ${target}_res)
    set_source_files_properties(${asm_file} PROPERTIES OBJECT_DEPENDS ${res_file})
    set_property(GLOBAL PROPERTY GW_RES_FILE ${res_file})
  endif()
endfunction()
