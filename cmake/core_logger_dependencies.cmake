# Where the dependencies come from: Debian's packages for Linux, and for the
# Windows cross build the same packages' sources and headers, built or used
# with the cross compiler (Debian has no {fmt} or GoogleTest for MinGW).

set(CORE_LOGGER_FMT_HEADERS "/usr/include/fmt" CACHE PATH
    "Windows builds: the {fmt} 9 headers (Debian libfmt-dev) that the build uses header-only and installs")
set(CORE_LOGGER_GOOGLETEST_SOURCES "/usr/src/googletest" CACHE PATH
    "Windows builds: the GoogleTest sources (Debian googletest) built for the tests")

# Where a Windows package keeps its copy of the {fmt} headers: a folder of its
# own, so that it never shadows another {fmt} installed in the same prefix.
set(CORE_LOGGER_FMT_INSTALL_DIR "${CMAKE_INSTALL_INCLUDEDIR}/core_logger")

# Defines fmt::fmt.
macro(core_logger_find_fmt)
  if(WIN32)
    # Only the fmt/ folder is copied into the build tree: the Linux include
    # folder never reaches the cross compiler.
    if(NOT EXISTS "${CORE_LOGGER_FMT_HEADERS}/core.h")
      message(FATAL_ERROR "No {fmt} headers in CORE_LOGGER_FMT_HEADERS=${CORE_LOGGER_FMT_HEADERS} "
                          "(Debian: apt-get install libfmt-dev)")
    endif()
    file(STRINGS "${CORE_LOGGER_FMT_HEADERS}/core.h" _core_logger_fmt_version
         REGEX "^#define FMT_VERSION [0-9]+$")
    string(REGEX REPLACE ".* ([0-9]+)$" "\\1" _core_logger_fmt_version "${_core_logger_fmt_version}")
    if(NOT _core_logger_fmt_version MATCHES "^9[0-9][0-9][0-9][0-9]$")
      message(FATAL_ERROR "{fmt} 9 needed, ${CORE_LOGGER_FMT_HEADERS} has FMT_VERSION ${_core_logger_fmt_version}")
    endif()
    set(CORE_LOGGER_FMT_BUILD_DIR "${PROJECT_BINARY_DIR}/fmt-headers")
    file(REMOVE_RECURSE "${CORE_LOGGER_FMT_BUILD_DIR}")
    file(COPY "${CORE_LOGGER_FMT_HEADERS}/" DESTINATION "${CORE_LOGGER_FMT_BUILD_DIR}/fmt"
         FILES_MATCHING PATTERN "*.h")
    add_library(fmt::fmt INTERFACE IMPORTED)
    set_target_properties(fmt::fmt PROPERTIES
      INTERFACE_INCLUDE_DIRECTORIES "${CORE_LOGGER_FMT_BUILD_DIR}"
      INTERFACE_COMPILE_DEFINITIONS FMT_HEADER_ONLY)
    install(DIRECTORY "${CORE_LOGGER_FMT_BUILD_DIR}/fmt" DESTINATION "${CORE_LOGGER_FMT_INSTALL_DIR}")
    set(CORE_LOGGER_PACKAGE_CARRIES_FMT ON)
  else()
    find_package(fmt 9 CONFIG REQUIRED)
    set(CORE_LOGGER_PACKAGE_CARRIES_FMT OFF)
  endif()
endmacro()

# Defines GTest::gtest, GTest::gtest_main, GTest::gmock and GTest::gmock_main.
macro(core_logger_find_googletest)
  if(WIN32)
    if(NOT EXISTS "${CORE_LOGGER_GOOGLETEST_SOURCES}/CMakeLists.txt")
      message(FATAL_ERROR "No GoogleTest sources in CORE_LOGGER_GOOGLETEST_SOURCES="
                          "${CORE_LOGGER_GOOGLETEST_SOURCES} (Debian: apt-get install googletest)")
    endif()
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    # Its targets come with the GTest:: names that the installed package has.
    add_subdirectory("${CORE_LOGGER_GOOGLETEST_SOURCES}" "${PROJECT_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)
  else()
    find_package(GTest CONFIG REQUIRED)
  endif()
endmacro()
