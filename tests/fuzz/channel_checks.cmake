# The checks of the companion library's fuzz targets, for the targets and for
# the replay of their corpora; defined once whoever includes this first. The
# oracle is a library of its own, so that the fuzz build compiles it once.
if(NOT TARGET channel_checks)
  find_package(nlohmann_json 3 REQUIRED)
  add_library(core_logger_oracle STATIC ${CMAKE_CURRENT_LIST_DIR}/../support/oracle.cc)
  target_link_libraries(core_logger_oracle PUBLIC fmt::fmt)
  target_include_directories(core_logger_oracle PUBLIC ${CMAKE_CURRENT_LIST_DIR}/.. ${PROJECT_SOURCE_DIR}/include)
  target_compile_options(core_logger_oracle PRIVATE ${CORE_LOGGER_WARNINGS})
  add_library(channel_checks STATIC ${CMAKE_CURRENT_LIST_DIR}/channel_checks.cc)
  target_link_libraries(channel_checks PUBLIC core_logger_channels_objects core_logger_oracle
    nlohmann_json::nlohmann_json)
  target_include_directories(channel_checks PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
  target_compile_options(channel_checks PRIVATE ${CORE_LOGGER_WARNINGS})
endif()
