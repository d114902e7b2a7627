# Builds and runs frontend_consumer.cc with nothing but what pkg-config says
# about an installed package:
#   cmake -DPKG_CONFIG=<pkg-config> -DPREFIX=<install prefix> -DLIBDIR=<libdir>
#         -DCXX=<compiler> -DCXX_FLAGS=<flags> -DSOURCE=<frontend_consumer.cc>
#         -DWORK_DIR=<dir> -P pkgconfig_consumer.cmake
set(ENV{PKG_CONFIG_PATH} "${PREFIX}/${LIBDIR}/pkgconfig")
execute_process(COMMAND ${PKG_CONFIG} --cflags --libs core_logger_channels
  RESULT_VARIABLE result OUTPUT_VARIABLE flags ERROR_VARIABLE errors OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "pkg-config failed:\n${errors}")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
separate_arguments(extra UNIX_COMMAND "${CXX_FLAGS}")
file(MAKE_DIRECTORY ${WORK_DIR})
set(program ${WORK_DIR}/pkgconfig_consumer)
execute_process(
  COMMAND ${CXX} -std=c++17 ${extra} ${SOURCE} -o ${program} ${flags} "-Wl,-rpath,${PREFIX}/${LIBDIR}"
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "building with the pkg-config flags ${flags} failed:\n${output}")
endif()
execute_process(COMMAND ${program} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the pkg-config consumer failed:\n${output}")
endif()
message(STATUS "pkg-config consumer ok")
