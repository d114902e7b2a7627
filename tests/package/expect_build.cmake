# Builds one target of a configured build tree and checks the outcome:
#   cmake -DBUILD_DIR=<dir> -DTARGET=<target> -DEXPECT=success|failure
#         [-DERROR_REGEX=<regex>] -P expect_build.cmake
# An expected failure must also print ERROR_REGEX, so that a build that
# breaks for another reason (a missing header, a typo) does not pass.
foreach(var BUILD_DIR TARGET EXPECT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "expect_build.cmake: ${var} is not set")
  endif()
endforeach()

execute_process(
  COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target ${TARGET}
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)

if(EXPECT STREQUAL "success")
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${TARGET} was expected to build but failed:\n${output}")
  endif()
elseif(EXPECT STREQUAL "failure")
  if(result EQUAL 0)
    message(FATAL_ERROR "${TARGET} was expected to fail to build but built")
  endif()
  if(DEFINED ERROR_REGEX AND NOT output MATCHES "${ERROR_REGEX}")
    message(FATAL_ERROR "${TARGET} failed, but not with /${ERROR_REGEX}/:\n${output}")
  endif()
  message(STATUS "${TARGET} failed to build, as expected")
else()
  message(FATAL_ERROR "expect_build.cmake: EXPECT must be success or failure, not '${EXPECT}'")
endif()
