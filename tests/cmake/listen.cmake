# The listener's parts, and the listener program for the end-to-end test.
find_package(nlohmann_json 3 REQUIRED)
target_link_libraries(listen_parts_test PRIVATE ipm_listen_core nlohmann_json::nlohmann_json)
target_link_libraries(listen_tool_test PRIVATE nlohmann_json::nlohmann_json)
target_compile_definitions(listen_tool_test PRIVATE IPM_LISTEN_PATH="$<TARGET_FILE:ipm-listen>")
add_dependencies(listen_tool_test ipm-listen)
