# cmake -DOBJDUMP=... -DCXXFILT=... -DDLL=... -DEXPECTED_EXPORTS=... -P check_dll_tables.cmake
#
# Reads the DLL's export and import tables with objdump -p and checks that
#   - it exports exactly the functions listed in EXPECTED_EXPORTS (demangled,
#     one per line): a MinGW DLL with nothing marked dllexport quietly exports
#     every symbol, and one that marks too much exports internals;
#   - it imports only Windows' own DLLs (and core_logger.dll, which the
#     channels DLL builds on): the C++ runtime, libgcc and winpthread are
#     linked into it.
cmake_minimum_required(VERSION 3.25)

foreach(var OBJDUMP CXXFILT DLL EXPECTED_EXPORTS)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

execute_process(COMMAND "${OBJDUMP}" -p "${DLL}" OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed: ${result}")
endif()
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
  elseif(in_names)
    set(in_names OFF)
  endif()
endforeach()

execute_process(COMMAND "${CXXFILT}" ${mangled} OUTPUT_VARIABLE demangled RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${CXXFILT} failed: ${result}")
endif()
string(REPLACE "\n" ";" exported "${demangled}")
list(REMOVE_ITEM exported "")
# A constructor's complete and base object symbols demangle alike.
list(REMOVE_DUPLICATES exported)
list(SORT exported)

# The expected names are the Linux ones: the C library's FILE is _IO_FILE in
# glibc and _iobuf in msvcrt.
file(STRINGS "${EXPECTED_EXPORTS}" expected)
list(TRANSFORM expected REPLACE "([^A-Za-z0-9_])_IO_FILE([^A-Za-z0-9_])" "\\1_iobuf\\2")
list(REMOVE_ITEM expected "")
list(SORT expected)

set(failed OFF)
set(unexpected ${exported})
list(REMOVE_ITEM unexpected ${expected})
set(missing ${expected})
list(REMOVE_ITEM missing ${exported})
foreach(name IN LISTS unexpected)
  message(SEND_ERROR "exported but not in the interface: ${name}")
  set(failed ON)
endforeach()
foreach(name IN LISTS missing)
  message(SEND_ERROR "in the interface but not exported: ${name}")
  set(failed ON)
endforeach()
list(LENGTH exported export_count)
message(STATUS "${DLL}: ${export_count} exports")

set(imports "")
foreach(line IN LISTS dump_lines)
  if(line MATCHES "^[ \t]*DLL Name: (.+)$")
    list(APPEND imports "${CMAKE_MATCH_1}")
  endif()
endforeach()
if(NOT imports)
  message(SEND_ERROR "no import table found in ${DLL}")
  set(failed ON)
endif()
foreach(import IN LISTS imports)
  string(TOLOWER "${import}" lower)
  if(NOT lower MATCHES "^(kernel32|msvcrt|ucrtbase|ntdll|api-ms-win-[a-z0-9-]+|core_logger)\\.dll$")
    message(SEND_ERROR "imports ${import}, which is neither a Windows system DLL nor core_logger.dll")
    set(failed ON)
  endif()
endforeach()
message(STATUS "${DLL}: imports ${imports}")

if(failed)
  message(FATAL_ERROR "${DLL}: export or import table check failed")
endif()
