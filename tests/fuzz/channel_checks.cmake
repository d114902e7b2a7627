# The checks of the companion library's fuzz targets, for the targets and for
# the replay of their corpora; defined once whoever includes this first.
if(NOT TARGET channel_checks)
  find_package(nlohmann_json 3 REQUIRED)
  add_library(channel_checks STATIC ${CMAKE_CURRENT_LIST_DIR}/channel_checks.cc
    ${CMAKE_CURRENT_LIST_DIR}/../support/oracle.cc)
  target_link_libraries(channel_checks PUBLIC core_logger_channels_objects nlohmann_json::nlohmann_json)
  target_include_directories(channel_checks PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
  target_compile_options(channel_checks PRIVATE ${CORE_LOGGER_WARNINGS})
endif()
