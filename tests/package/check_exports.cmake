# cmake -DLIBRARY=<.so or .dll> -DEXPECTED_EXPORTS=<list> -DNM=<nm>
#       | -DOBJDUMP=<objdump> -DCXXFILT=<c++filt> -P check_exports.cmake
#
# Checks that the shared library exports exactly the functions listed in
# EXPECTED_EXPORTS (demangled, one per line): a MinGW DLL with nothing marked
# dllexport quietly exports every symbol, and one that marks too much exports
# internals. A DLL (read with objdump -p) must also import only Windows' own
# DLLs (DbgHelp for call stacks among them) and core_logger.dll: the C++
# runtime, libgcc and winpthread are linked into it.
cmake_minimum_required(VERSION 3.25)

if(DEFINED NM)
  execute_process(COMMAND "${NM}" -D --defined-only -C "${LIBRARY}" OUTPUT_VARIABLE dump RESULT_VARIABLE result)
  string(REGEX REPLACE "(^|\n)[0-9a-f]+ [A-Za-z] " "\\1" demangled "${dump}")
else()
  execute_process(COMMAND "${OBJDUMP}" -p "${LIBRARY}" OUTPUT_VARIABLE dump RESULT_VARIABLE result)
  string(REPLACE "\r" "" dump "${dump}")
  string(REPLACE "\n" ";" dump_lines "${dump}")
  # Export names follow the "[Ordinal/Name Pointer] Table" line until a blank one.
  set(mangled "")
  set(in_names OFF)
  foreach(line IN LISTS dump_lines)
    if(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
      set(in_names ON)
    elseif(in_names AND line MATCHES "^[ \t]*\\[ *[0-9]+\\] ([^ \t]+)")
      list(APPEND mangled "${CMAKE_MATCH_1}")
    else()
      set(in_names OFF)
    endif()
  endforeach()
  execute_process(COMMAND "${CXXFILT}" ${mangled} OUTPUT_VARIABLE demangled)
  string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
  if(NOT imports)
    message(SEND_ERROR "no import table found in ${LIBRARY}")
  endif()
  foreach(import IN LISTS imports)
    string(TOLOWER "${import}" lower)
    if(NOT lower MATCHES "^dll name: (kernel32|msvcrt|ucrtbase|ntdll|dbghelp|api-ms-win-[a-z0-9-]+|core_logger)\\.dll$")
      message(SEND_ERROR "${LIBRARY} ${import}: neither a Windows system DLL nor core_logger.dll")
    endif()
  endforeach()
endif()
if(NOT result EQUAL 0)
  message(FATAL_ERROR "reading ${LIBRARY} failed: ${result}")
endif()
string(REPLACE "\n" ";" exported "${demangled}")
list(REMOVE_ITEM exported "")
# A constructor's complete and base object symbols demangle alike.
list(REMOVE_DUPLICATES exported)

# The expected names are the Linux ones: the C library's FILE is _IO_FILE in
# glibc and _iobuf in msvcrt.
file(STRINGS "${EXPECTED_EXPORTS}" expected)
if(NOT DEFINED NM)
  list(TRANSFORM expected REPLACE "([^A-Za-z0-9_])_IO_FILE([^A-Za-z0-9_])" "\\1_iobuf\\2")
endif()
set(unexpected ${exported})
list(REMOVE_ITEM unexpected ${expected})
set(missing ${expected})
list(REMOVE_ITEM missing ${exported})
foreach(name IN LISTS unexpected)
  message(SEND_ERROR "exported but not in the interface: ${name}")
endforeach()
foreach(name IN LISTS missing)
  message(SEND_ERROR "in the interface but not exported: ${name}")
endforeach()
list(LENGTH exported count)
message(STATUS "${LIBRARY}: ${count} exports")
