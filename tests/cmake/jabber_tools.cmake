# The scripted job with the Jabber transport against the listener in Jabber
# mode, both as programs, through the suite's shared message server.
find_package(nlohmann_json 3 REQUIRED)
add_executable(jabber_tools_tests ${CMAKE_CURRENT_SOURCE_DIR}/jabber_tools_tests.cpp)
ipm_warnings(jabber_tools_tests)
target_link_libraries(jabber_tools_tests PRIVATE GTest::gtest GTest::gtest_main nlohmann_json::nlohmann_json)
target_compile_definitions(jabber_tools_tests PRIVATE IPM_JOB_PATH="$<TARGET_FILE:ipm-job>"
                                                      IPM_LISTEN_PATH="$<TARGET_FILE:ipm-listen>")
add_dependencies(jabber_tools_tests ipm-job ipm-listen)
add_dependencies(ipm_threaded_tests jabber_tools_tests)
gtest_discover_tests(jabber_tools_tests DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 120 FIXTURES_REQUIRED prosody LABELS threaded)
