# What an outside project gets from core_logger, included from
# tests/CMakeLists.txt. What does not depend on the sanitizers runs in the
# normal configuration only, and the package consumer also for Windows.
set(package_dir ${CMAKE_CURRENT_LIST_DIR})
set(plain_build OFF)
if(NOT CORE_LOGGER_SANITIZE AND NOT WIN32)
  set(plain_build ON)
endif()

# Each library exports exactly its interface (and a DLL imports only Windows'
# own DLLs): nm on the .so, MinGW's objdump on the DLL.
if(WIN32)
  find_program(CORE_LOGGER_CXXFILT NAMES x86_64-w64-mingw32-c++filt c++filt REQUIRED)
  find_program(CORE_LOGGER_OBJDUMP NAMES x86_64-w64-mingw32-objdump objdump REQUIRED)
  set(reader -DOBJDUMP=${CORE_LOGGER_OBJDUMP} -DCXXFILT=${CORE_LOGGER_CXXFILT})
else()
  find_program(CORE_LOGGER_NM NAMES nm REQUIRED)
  set(reader -DNM=${CORE_LOGGER_NM})
endif()
# SyslogChannel and JournalChannel are not built on Windows; elsewhere their
# exports join the companion library's list.
set(channel_exports ${PROJECT_SOURCE_DIR}/tests/api/expected_channel_exports.txt)
if(NOT WIN32)
  set(posix_exports ${PROJECT_SOURCE_DIR}/tests/channels/expected_posix_exports.txt)
  file(READ ${channel_exports} common)
  file(READ ${posix_exports} posix)
  set(channel_exports ${CMAKE_CURRENT_BINARY_DIR}/expected_channel_exports_posix.txt)
  file(WRITE ${channel_exports} "${common}${posix}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/tests/api/expected_channel_exports.txt ${posix_exports})
endif()
set(libraries core_logger core_logger_channels)
set(export_lists ${PROJECT_SOURCE_DIR}/tests/api/expected_exports.txt ${channel_exports})
foreach(library export_list IN ZIP_LISTS libraries export_lists)
  add_test(NAME ${library}_exports
    COMMAND ${CMAKE_COMMAND} ${reader} -DLIBRARY=$<TARGET_FILE:${library}>
      -DEXPECTED_EXPORTS=${export_list} -P ${package_dir}/check_exports.cmake)
endforeach()

# Installs the package into the build tree (the lifecycle tests load the
# installed copy too).
set(package_prefix ${PROJECT_BINARY_DIR}/package-prefix)
add_test(NAME package_install COMMAND ${CMAKE_COMMAND} --install ${PROJECT_BINARY_DIR} --prefix ${package_prefix})
set_tests_properties(package_install PROPERTIES FIXTURES_SETUP core_logger_package)

# Builds and runs an outside project against the package, with the compiler
# and flags of this build; a cross build hands it the same toolchain (and Wine
# prefix) and names the package folder, since the toolchain searches only the
# target's folders for packages.
if(plain_build OR WIN32)
  set(cross_options "")
  if(CMAKE_CROSSCOMPILING)
    get_filename_component(toolchain "${CMAKE_TOOLCHAIN_FILE}" ABSOLUTE BASE_DIR "${CMAKE_BINARY_DIR}")
    list(APPEND cross_options -DCMAKE_TOOLCHAIN_FILE=${toolchain}
      -Dcore_logger_DIR=${package_prefix}/${CMAKE_INSTALL_LIBDIR}/cmake/core_logger)
    if(DEFINED CORE_LOGGER_WINEPREFIX)
      list(APPEND cross_options -DCORE_LOGGER_WINEPREFIX=${CORE_LOGGER_WINEPREFIX})
    endif()
  endif()
  add_test(NAME package_consumer
    COMMAND ${CMAKE_CTEST_COMMAND} --build-and-test ${package_dir} ${CMAKE_CURRENT_BINARY_DIR}/package-consumer
      --build-generator ${CMAKE_GENERATOR} --build-makeprogram ${CMAKE_MAKE_PROGRAM}
      --build-options -DCMAKE_PREFIX_PATH=${package_prefix} -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER}
        -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE} ${cross_options}
      --test-command ${CMAKE_CTEST_COMMAND} --output-on-failure)
  set_tests_properties(package_consumer PROPERTIES FIXTURES_REQUIRED core_logger_package)
endif()
if(NOT plain_build)
  return()
endif()

# The frontend consumer once more, built with the compiler alone from what
# pkg-config reports about the installed package.
find_program(CORE_LOGGER_PKG_CONFIG NAMES pkg-config)
if(CORE_LOGGER_PKG_CONFIG)
  add_test(NAME package_pkgconfig_consumer
    COMMAND ${CMAKE_COMMAND} -DPKG_CONFIG=${CORE_LOGGER_PKG_CONFIG} -DPREFIX=${package_prefix}
      -DLIBDIR=${CMAKE_INSTALL_LIBDIR} -DCXX=${CMAKE_CXX_COMPILER} -DSOURCE=${package_dir}/frontend_consumer.cc
      -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/package-pkgconfig -P ${package_dir}/pkgconfig_consumer.cmake)
  set_tests_properties(package_pkgconfig_consumer PROPERTIES FIXTURES_REQUIRED core_logger_package)
endif()

# Compile-time format checks: one statement with a fitting and with a wrong
# argument for "{:d}", built at test time as C++17 (FMT_STRING) and C++20
# ({fmt}'s consteval check); the wrong one must fail with {fmt}'s format
# error, so that a build that breaks for another reason does not pass.
foreach(standard 17 20)
  foreach(variant good bad)
    set(target format_check_${variant}_cxx${standard})
    add_library(${target} OBJECT EXCLUDE_FROM_ALL ${package_dir}/format_check.cc)
    target_link_libraries(${target} PRIVATE core_logger::core_logger)
    set_target_properties(${target} PROPERTIES CXX_STANDARD ${standard})
    set(expect success)
    if(variant STREQUAL "bad")
      target_compile_definitions(${target} PRIVATE CORE_LOGGER_FORMAT_CHECK_BAD)
      set(expect failure)
    endif()
    add_test(NAME ${target}
      COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${PROJECT_BINARY_DIR} -DTARGET=${target} -DEXPECT=${expect}
        "-DERROR_REGEX=error_handler::on_error|format_error" -P ${package_dir}/expect_build.cmake)
    # Builds in the one build tree take turns.
    set_tests_properties(${target} PROPERTIES RESOURCE_LOCK core_logger_build_tree)
  endforeach()
endforeach()

# The header keeps its users' shared objects unloadable: no STB_GNU_UNIQUE
# symbol in one that uses every macro from inline functions and templates,
# nor in the control, which must be caught.
find_program(CORE_LOGGER_READELF NAMES readelf)
if(CORE_LOGGER_READELF)
  foreach(variant probe control)
    add_library(frontend_unique_${variant} SHARED ${package_dir}/unique_probe.cc)
    target_link_libraries(frontend_unique_${variant} PRIVATE core_logger::core_logger)
    if(variant STREQUAL "control")
      target_compile_definitions(frontend_unique_${variant} PRIVATE CORE_LOGGER_UNIQUE_PROBE_CONTROL)
    endif()
    add_test(NAME frontend_unique_${variant}
      COMMAND ${CMAKE_COMMAND} -DREADELF=${CORE_LOGGER_READELF} -DFILE=$<TARGET_FILE:frontend_unique_${variant}>
        -P ${package_dir}/check_no_unique_symbols.cmake)
  endforeach()
  set_tests_properties(frontend_unique_control PROPERTIES PASS_REGULAR_EXPRESSION "unique symbols in")
endif()
