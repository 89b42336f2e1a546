# Checks the Windows zip: it holds every file named in NAMES under the folder
# TOP, and its programs and DLLs import only DLLs that come with Windows (no
# libstdc++, libgcc or libwinpthread to ship beside them). The gateway imports
# no user32.dll: loading it gives every waiting CGI process a share of the
# desktop heap, which many gateways under IIS exhaust.
#   cmake -DZIP=... -DTOP=... -DNAMES=a;b -DOBJDUMP=... -P check-package.cmake
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${ZIP} OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot read ${ZIP}")
endif()
string(REPLACE "\n" ";" listing "${listing}")

set(windows_dlls kernel32.dll advapi32.dll netapi32.dll user32.dll msvcrt.dll ucrtbase.dll)
set(without_user32 qg.exe)
string(RANDOM LENGTH 12 ALPHABET abcdefghijklmnopqrstuvwxyz suffix)
set(scratch ${CMAKE_CURRENT_BINARY_DIR}/check-package-${suffix})
file(MAKE_DIRECTORY ${scratch})
file(ARCHIVE_EXTRACT INPUT ${ZIP} DESTINATION ${scratch})

set(problems "")
foreach(name IN LISTS NAMES)
  if(NOT "${TOP}/${name}" IN_LIST listing)
    string(APPEND problems "missing from the zip: ${name}\n")
    continue()
  endif()
  if(NOT name MATCHES "\\.(exe|dll)$")
    continue()
  endif()
  execute_process(COMMAND ${OBJDUMP} -p ${scratch}/${TOP}/${name} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
  if(failed)
    string(APPEND problems "objdump failed on ${name}\n")
    continue()
  endif()
  string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
  foreach(line IN LISTS imports)
    string(REGEX REPLACE "DLL Name: *" "" dll "${line}")
    string(STRIP "${dll}" dll)
    string(TOLOWER "${dll}" lower)
    if(NOT lower IN_LIST windows_dlls AND NOT lower MATCHES "^api-ms-win-crt-")
      string(APPEND problems "${name} imports ${dll}, which Windows does not provide\n")
    elseif(lower STREQUAL "user32.dll" AND name IN_LIST without_user32)
      string(APPEND problems "${name} imports ${dll}\n")
    endif()
  endforeach()
  message(STATUS "${name}: ${imports}")
endforeach()
file(REMOVE_RECURSE ${scratch})

if(problems)
  message(FATAL_ERROR "${problems}")
endif()
