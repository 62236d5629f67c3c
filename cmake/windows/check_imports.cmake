# cmake -DOBJDUMP=<objdump> -DEXE=<exe> -P check_imports.cmake
cmake_minimum_required(VERSION 3.25)
# Fails when the exe imports any DLL beyond those every Windows installation has: the launcher
# is copied alone into a folder and must start there, without a mingw runtime DLL beside it.
set(system_dlls advapi32 bcrypt gdi32 iphlpapi kernel32 msvcrt ntdll ole32 opengl32 shell32
    user32 ws2_32)
execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot read ${EXE}")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
if(NOT imports)
  message(FATAL_ERROR "${EXE} lists no imported DLL; the check cannot read it")
endif()
foreach(line IN LISTS imports)
  string(REGEX REPLACE "DLL Name: ([^\n]+)\\.[dD][lL][lL]" "\\1" dll "${line}")
  string(TOLOWER "${dll}" dll)
  if(NOT dll IN_LIST system_dlls)
    message(FATAL_ERROR "${EXE} needs ${dll}.dll, which Windows does not have")
  endif()
  message(STATUS "imports ${dll}.dll")
endforeach()
