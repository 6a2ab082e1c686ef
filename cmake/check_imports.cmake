cmake_minimum_required(VERSION 3.25)
# Fails when a program imports a DLL that is not part of Windows: the tool
# runs beside the files it replaces and must not load one of them.
# Usage: cmake -DOBJDUMP=... -DPROGRAM=... -P check_imports.cmake
execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "can't read the imports of ${PROGRAM}")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" names "${dump}")
set(allowed kernel32.dll msvcrt.dll bcrypt.dll advapi32.dll shell32.dll user32.dll
  ntdll.dll ole32.dll rstrtmgr.dll winhttp.dll)
set(count 0)
foreach(line ${names})
  string(REPLACE "DLL Name: " "" dll "${line}")
  string(TOLOWER "${dll}" dll)
  math(EXPR count "${count} + 1")
  if(NOT dll IN_LIST allowed)
    message(FATAL_ERROR "${PROGRAM} imports ${dll}, which is not a system DLL")
  endif()
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "no imports found in ${PROGRAM}")
endif()
message(STATUS "${PROGRAM}: ${count} system DLLs")
