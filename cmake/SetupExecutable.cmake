# add_setup_executable(<target> METADATA <file> PAYLOAD_FOLDER <dir> [BLOCK_SIZE <bytes>]
#                      [PAYLOAD_DEPENDS <files>...] [OUTPUT_NAME <name>]
#                      [SIGN_COMMAND <command> <arguments>...])
#
# Makes a product's setup program, bin/<name>.exe (name: OUTPUT_NAME, or the target), the
# way a product team makes it outside this build: with
#   mvpk build-setup <dir> <METADATA> <name>.exe [--block-size <bytes>]
# run through the cross-compiling emulator (build/wine-run), from the stub that lies
# beside mvpk.exe. <target> is a custom target that other targets can depend on.
#
# The program is remade when a file below the folder, the metadata, the tool or the stub
# changes (files added to the folder are seen at the next configure). PAYLOAD_DEPENDS names
# further files whose change remakes it, such as a stamp written when a build step fills
# the folder.
#
# SIGN_COMMAND is the product team's own signing step. It runs on the build machine itself
# (not under the emulator), with the finished program's path as one more argument, and must
# sign that file in place and exit with 0; only then does the program take its place as
# bin/<name>.exe. Examples:
#   SIGN_COMMAND signtool sign /fd SHA256 /a
#   SIGN_COMMAND sh -c "osslsigncode sign -pkcs12 team.pfx -in \"$0\" -out \"$0.signed\" && mv \"$0.signed\" \"$0\""
function(add_setup_executable target)
  cmake_parse_arguments(ARG "" "METADATA;PAYLOAD_FOLDER;BLOCK_SIZE;OUTPUT_NAME"
    "PAYLOAD_DEPENDS;SIGN_COMMAND" ${ARGN})
  if(NOT ARG_METADATA OR NOT ARG_PAYLOAD_FOLDER)
    message(FATAL_ERROR "add_setup_executable(${target}): METADATA and PAYLOAD_FOLDER are needed")
  endif()
  get_filename_component(folder "${ARG_PAYLOAD_FOLDER}" ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  get_filename_component(metadata "${ARG_METADATA}" ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  set(name ${target})
  if(ARG_OUTPUT_NAME)
    set(name ${ARG_OUTPUT_NAME})
  endif()
  set(output ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${name}.exe)
  file(GLOB_RECURSE payload_files CONFIGURE_DEPENDS LIST_DIRECTORIES false "${folder}/*")
  set(block_option)
  if(ARG_BLOCK_SIZE)
    set(block_option --block-size ${ARG_BLOCK_SIZE})
  endif()
  set(made ${output})
  set(sign_steps)
  if(ARG_SIGN_COMMAND)
    # Made under another name, so that an unsigned program never stands at the output.
    set(made ${CMAKE_CURRENT_BINARY_DIR}/${name}.unsigned.exe)
    set(sign_steps
      COMMAND ${ARG_SIGN_COMMAND} ${made}
      COMMAND ${CMAKE_COMMAND} -E rename ${made} ${output})
  endif()
  # Unix paths reach the Windows tool as paths on the current drive, which Wine maps to /
  # (Z:) for a working directory in the build tree.
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:mvpk_tool>
            build-setup ${folder} ${metadata} ${made} ${block_option}
    ${sign_steps}
    # The module's file too: under Wine it makes the blocks, and a target name alone would
    # not remake a program when the module changes.
    DEPENDS mvpk_tool setup_stub cabinet_module ${CMAKE_BINARY_DIR}/bin/cabinet.dll ${metadata}
            ${payload_files} ${ARG_PAYLOAD_DEPENDS}
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    COMMENT "Making ${name}.exe from ${ARG_PAYLOAD_FOLDER}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${output})
endfunction()
