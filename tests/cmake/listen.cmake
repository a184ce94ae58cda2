# The listener's parts, and the listener program with its monitor for the
# end-to-end test.
find_package(nlohmann_json 3 REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
target_link_libraries(listen_parts_test PRIVATE ipm_listen_core ipm_internal nlohmann_json::nlohmann_json)
target_sources(listen_parts_test PRIVATE ${PROJECT_SOURCE_DIR}/tools/listen/web/ipm_EventHub.cpp)
find_package(SQLite3 REQUIRED)
target_link_libraries(listen_tool_test PRIVATE nlohmann_json::nlohmann_json PkgConfig::HTTPLIB SQLite::SQLite3)
target_compile_definitions(listen_tool_test PRIVATE IPM_LISTEN_PATH="$<TARGET_FILE:ipm-listen>"
                                                    IPM_JOB_PATH="$<TARGET_FILE:ipm-job>")
add_dependencies(listen_tool_test ipm-listen ipm-job)
