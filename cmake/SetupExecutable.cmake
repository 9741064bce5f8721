# add_setup_executable(<target> [METADATA <file>] [PAYLOAD <file>] [OUTPUT_NAME <name>])
#
# Makes a setup program for a product: the setup executable with the product's METADATA
# text and its MVPK package (PAYLOAD) embedded as language-neutral RT_RCDATA resources.
# Either may be left out; the program then uses its defaults (no METADATA) or reports a
# damaged package (no PAYLOAD).
set(SETUP_RES_DIR ${CMAKE_CURRENT_LIST_DIR}/../res)

function(add_setup_executable target)
  cmake_parse_arguments(ARG "" "METADATA;PAYLOAD;OUTPUT_NAME" "" ${ARGN})
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
  if(ARG_OUTPUT_NAME)
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME})
  endif()
endfunction()
