# Compiler and linker settings shared by every build of the library's sources.

set(CORE_LOGGER_WARNINGS -Wall -Wextra -Wpedantic)

# An object library of the library's sources with hidden visibility; unit
# tests link it directly to reach internals that the shared library hides.
function(core_logger_add_objects name)
  add_library(${name} OBJECT ${ARGN})
  set_target_properties(${name} PROPERTIES
    POSITION_INDEPENDENT_CODE ON CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_compile_definitions(${name} PUBLIC CORE_LOGGER_BUILDING)
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC fmt::fmt)
  target_compile_features(${name} PUBLIC cxx_std_17)
  target_compile_options(${name} PRIVATE ${CORE_LOGGER_WARNINGS})
  if(NOT WIN32 AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # Unique symbols would pin the shared object in memory after dlclose.
    target_compile_options(${name} PRIVATE -fno-gnu-unique)
  endif()
endfunction()

# Exports exactly the interface from a shared library built of those objects.
# A test-only build may name a version script of its own as second argument.
function(core_logger_restrict_exports target)
  if(WIN32)
    return()  # dllexport marks the interface one function at a time
  endif()
  set(map ${PROJECT_SOURCE_DIR}/cmake/core_logger.map)
  if(ARGC GREATER 1)
    set(map ${ARGV1})
  endif()
  target_link_options(${target} PRIVATE "LINKER:--version-script=${map}" "LINKER:--exclude-libs,ALL")
  if(NOT CORE_LOGGER_SANITIZE)
    target_link_options(${target} PRIVATE "LINKER:--no-undefined")
  endif()
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
endfunction()

# Lays out the code of a log call together (cmake/core_logger_hot_text.ld),
# where the linker takes the script: GNU ld and lld do; on Windows, and with
# a linker that does not, the library links as it is.
function(core_logger_group_hot_code target)
  if(WIN32 OR APPLE)
    return()
  endif()
  set(script ${PROJECT_SOURCE_DIR}/cmake/core_logger_hot_text.ld)
  include(CheckLinkerFlag)
  check_linker_flag(CXX "LINKER:-T,${script}" CORE_LOGGER_LINKER_TAKES_HOT_TEXT)
  if(CORE_LOGGER_LINKER_TAKES_HOT_TEXT)
    target_link_options(${target} PRIVATE "LINKER:-T,${script}")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${script})
  endif()
endfunction()

# An installed ELF library finds the libraries beside it (RUNPATH $ORIGIN):
# the channels library needs the core one even when a program that calls only
# channel functions, linked with --as-needed, does not name it. Windows finds
# a DLL's DLLs beside it anyway.
function(core_logger_find_siblings target)
  if(NOT WIN32 AND NOT APPLE)
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN")
  endif()
endfunction()

# A MinGW DLL or program carries libgcc, libstdc++ and winpthread inside, so
# that it needs no DLL beside it but Windows' own.
function(core_logger_link_runtime_statically target)
  if(MINGW)
    target_link_options(${target} PRIVATE -static)
  endif()
endfunction()

# Installs core_logger.pc and core_logger_channels.pc under
# <libdir>/pkgconfig. Paths are relative to the .pc file, so the package can
# be installed into another prefix than the one configured. There is no
# pkg-config {fmt} to require for the Windows package, which carries {fmt}'s
# headers itself, so only other systems get the files.
function(core_logger_install_pkgconfig)
  if(WIN32)
    return()
  endif()
  if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
    set(CORE_LOGGER_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
    set(CORE_LOGGER_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
    set(CORE_LOGGER_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
  else()
    file(RELATIVE_PATH to_prefix "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
    string(REGEX REPLACE "/$" "" to_prefix "${to_prefix}")
    set(CORE_LOGGER_PC_PREFIX "\${pcfiledir}/${to_prefix}")
    set(CORE_LOGGER_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
    set(CORE_LOGGER_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
  endif()
  foreach(name core_logger core_logger_channels)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/${name}.pc.in ${PROJECT_BINARY_DIR}/${name}.pc @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/${name}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  endforeach()
endfunction()
