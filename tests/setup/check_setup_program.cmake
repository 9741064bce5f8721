# Fails unless the setup program PROGRAM imports only DLLs that Windows always maps from the
# system folder (its known DLLs), plus comctl32, which the manifest binds to the system's
# side-by-side copy: any other DLL would first be looked up beside the program, in a Downloads
# folder or in the temporary folder from which the uninstaller's elevated copy runs. Its load
# configuration's DependentLoadFlags must send the loader to System32 alone for those imports.
# Its manifest must ask for no elevation (the program elevates a copy of itself when it must),
# bind the common controls version 6 and declare per-monitor DPI awareness.
#   cmake -DOBJDUMP=... -DPROGRAM=... -P check_setup_program.cmake
cmake_minimum_required(VERSION 3.25)
set(allowed advapi32 clbcatq combase comctl32 comdlg32 coml2 gdi32 gdiplus imagehlp imm32
  kernel32 kernelbase msctf msvcrt normaliz nsi ntdll ole32 oleaut32 psapi rpcrt4 sechost
  setupapi shcore shell32 shlwapi user32 wldap32 ws2_32)
execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot read the import table of ${PROGRAM}")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" names "${dump}")
if(NOT names)
  message(FATAL_ERROR "no imports found in ${PROGRAM}")
endif()
set(refused)
foreach(entry IN LISTS names)
  string(REGEX REPLACE "DLL Name: (.+)\\.[dD][lL][lL]" "\\1" dll "${entry}")
  string(TOLOWER "${dll}" dll)
  if(NOT dll IN_LIST allowed)
    list(APPEND refused ${dll})
  endif()
endforeach()
# Delay-loaded DLLs are looked up the same way, only later.
if(dump MATCHES "Entry d [0-9a-fA-F]+ 0*[1-9a-fA-F][0-9a-fA-F]* Delay Import Directory")
  list(APPEND refused "(delay-loaded imports)")
endif()
if(refused)
  message(FATAL_ERROR "${PROGRAM} imports DLLs that may be taken from its own folder: ${refused}")
endif()
message(STATUS "imports: ${names}")

# DependentLoadFlags lies at 0x4E in the load configuration, which the image's data directory
# locates by its address in memory: the section holding that address gives its place in the file.
if(NOT dump MATCHES "ImageBase[ \t]+([0-9a-fA-F]+)")
  message(FATAL_ERROR "cannot read the image base of ${PROGRAM}")
endif()
set(base 0x${CMAKE_MATCH_1})
if(NOT dump MATCHES "Entry a ([0-9a-fA-F]+) ([0-9a-fA-F]+) Load Configuration Directory")
  message(FATAL_ERROR "cannot read the data directories of ${PROGRAM}")
endif()
math(EXPR address "0x${CMAKE_MATCH_1}")
math(EXPR size "0x${CMAKE_MATCH_2}")
execute_process(COMMAND ${OBJDUMP} -h ${PROGRAM} OUTPUT_VARIABLE sections)
string(REGEX MATCHALL "[^\n]+" lines "${sections}")
set(flags "")
foreach(line IN LISTS lines)
  if(size GREATER_EQUAL 80 AND line MATCHES
      "^ *[0-9]+ +[^ ]+ +([0-9a-fA-F]+) +([0-9a-fA-F]+) +[0-9a-fA-F]+ +([0-9a-fA-F]+)")
    math(EXPR start "0x${CMAKE_MATCH_2} - ${base}")
    math(EXPR end "${start} + 0x${CMAKE_MATCH_1}")
    if(address GREATER_EQUAL start AND address LESS end)
      math(EXPR at "${address} - ${start} + 0x${CMAKE_MATCH_3} + 0x4E")
      file(READ ${PROGRAM} flags OFFSET ${at} LIMIT 2 HEX)
    endif()
  endif()
endforeach()
# LOAD_LIBRARY_SEARCH_SYSTEM32, 0x0800, little-endian.
if(NOT flags STREQUAL "0008")
  message(FATAL_ERROR "the load configuration of ${PROGRAM} does not hold DependentLoadFlags "
    "LOAD_LIBRARY_SEARCH_SYSTEM32 (read: '${flags}', directory size ${size})")
endif()

# The manifest is stored as it was written, in UTF-8, among the program's resources.
file(STRINGS ${PROGRAM} content REGEX "asInvoker|PerMonitorV2|Common-Controls")
foreach(part "level=\"asInvoker\"" ">PerMonitorV2<"
    "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"")
  string(FIND "${content}" "${part}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the manifest of ${PROGRAM} lacks ${part}")
  endif()
endforeach()
