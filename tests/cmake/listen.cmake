# The listener's parts, and the listener program for the end-to-end test.
find_package(nlohmann_json 3 REQUIRED)
foreach(test listen_splitter_test listen_reader_test listen_printer_test listen_options_test
             listen_stanza_test)
  target_link_libraries(${test} PRIVATE ipm_listen_core)
endforeach()
target_link_libraries(listen_printer_test PRIVATE nlohmann_json::nlohmann_json)
target_link_libraries(listen_tool_test PRIVATE nlohmann_json::nlohmann_json)
target_compile_definitions(listen_tool_test PRIVATE IPM_LISTEN_PATH="$<TARGET_FILE:ipm-listen>")
add_dependencies(listen_tool_test ipm-listen)
