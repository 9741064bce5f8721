# Fails unless the setup program PROGRAM imports only DLLs that Windows always maps from the
# system folder (its known DLLs), plus comctl32, which the manifest binds to the system's
# side-by-side copy: any other DLL would first be looked up beside the program, in a Downloads
# folder or in the temporary folder from which the uninstaller's elevated copy runs. Its
# manifest must ask for no elevation (the program elevates a copy of itself when it must),
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

# The manifest is stored as it was written, in UTF-8, among the program's resources.
file(STRINGS ${PROGRAM} content REGEX "asInvoker|PerMonitorV2|Common-Controls")
foreach(part "level=\"asInvoker\"" ">PerMonitorV2<"
    "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"")
  string(FIND "${content}" "${part}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the manifest of ${PROGRAM} lacks ${part}")
  endif()
endforeach()
