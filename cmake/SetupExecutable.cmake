# add_setup_executable(<target> [METADATA <file>] [PAYLOAD <file> | PAYLOAD_FOLDER <dir>]
#                      [BLOCK_SIZE <bytes>] [PAYLOAD_DEPENDS <files>...] [OUTPUT_NAME <name>])
#
# Makes a setup program for a product: the setup executable with the product's METADATA
# text and its MVPK package (PAYLOAD) embedded as language-neutral RT_RCDATA resources.
# Either may be left out; the program then uses its defaults (no METADATA) or reports a
# damaged package (no PAYLOAD).
#
# PAYLOAD_FOLDER makes the package at build time with `mvpk pack <dir> <METADATA> ...`,
# run through the cross-compiling emulator (build/wine-run), so that the package's
# metadata block is the METADATA file byte for byte. The package is remade when a file
# below the folder, the metadata or the tool changes (files added to the folder are seen
# at the next configure). PAYLOAD_DEPENDS names further files whose change remakes the
# package, such as a stamp written when a build step fills the folder.
set(SETUP_RES_DIR ${CMAKE_CURRENT_LIST_DIR}/../res)

function(add_setup_executable target)
  cmake_parse_arguments(ARG "" "METADATA;PAYLOAD;PAYLOAD_FOLDER;BLOCK_SIZE;OUTPUT_NAME"
    "PAYLOAD_DEPENDS" ${ARGN})
  if(ARG_PAYLOAD_FOLDER)
    if(ARG_PAYLOAD)
      message(FATAL_ERROR "add_setup_executable(${target}): PAYLOAD and PAYLOAD_FOLDER exclude each other")
    endif()
    if(NOT ARG_METADATA)
      message(FATAL_ERROR "add_setup_executable(${target}): PAYLOAD_FOLDER needs METADATA")
    endif()
    get_filename_component(folder "${ARG_PAYLOAD_FOLDER}" ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    get_filename_component(metadata "${ARG_METADATA}" ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    set(package ${CMAKE_CURRENT_BINARY_DIR}/${target}_payload.mvpk)
    file(GLOB_RECURSE payload_files CONFIGURE_DEPENDS LIST_DIRECTORIES false "${folder}/*")
    set(block_option)
    if(ARG_BLOCK_SIZE)
      set(block_option --block-size ${ARG_BLOCK_SIZE})
    endif()
    # Unix paths reach the Windows tool as paths on the current drive, which Wine maps
    # to / (Z:) for a working directory in the build tree.
    add_custom_command(OUTPUT ${package}
      COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:mvpk_tool>
              pack ${folder} ${metadata} ${package} ${block_option}
      DEPENDS mvpk_tool cabinet_standin ${metadata} ${payload_files} ${ARG_PAYLOAD_DEPENDS}
      WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
      COMMENT "Packing ${ARG_PAYLOAD_FOLDER} for ${target}"
      VERBATIM)
    add_custom_target(${target}_payload DEPENDS ${package})
    set(ARG_PAYLOAD ${package})
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.rc)
  set(content "#include \"setup.rc\"\nLANGUAGE 0, 0\n")
  set(depends ${SETUP_RES_DIR}/setup.rc ${SETUP_RES_DIR}/setup.manifest ${SETUP_RES_DIR}/setup.ico)
  foreach(kind METADATA PAYLOAD)
    if(ARG_${kind})
      get_filename_component(file "${ARG_${kind}}" ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
      string(APPEND content "${kind} RCDATA \"${file}\"\n")
      list(APPEND depends ${file})
    endif()
  endforeach()
  file(GENERATE OUTPUT ${rc} CONTENT "${content}")

  add_executable(${target} WIN32 ${rc})
  target_link_libraries(${target} PRIVATE setup_entry)
  target_link_options(${target} PRIVATE -municode)
  target_include_directories(${target} PRIVATE ${SETUP_RES_DIR})
  # windres does not see the files a script names; rebuild when any of them changes.
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS "${depends}")
  if(TARGET ${target}_payload)
    add_dependencies(${target} ${target}_payload)
  endif()
  if(ARG_OUTPUT_NAME)
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME})
  endif()
endfunction()
