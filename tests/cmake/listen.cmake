# The listener's parts, and the listener program with its monitor for the
# end-to-end test.
find_package(nlohmann_json 3 REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
find_package(SQLite3 REQUIRED)
target_link_libraries(listen_parts_test PRIVATE ipm_listen_core ipm_internal nlohmann_json::nlohmann_json
                                                SQLite::SQLite3)
target_sources(listen_parts_test PRIVATE ${PROJECT_SOURCE_DIR}/tools/listen/web/ipm_EventHub.cpp
                                         ${PROJECT_SOURCE_DIR}/tools/listen/store/ipm_HistoryCheckpoint.cpp)
target_link_libraries(listen_tool_test PRIVATE nlohmann_json::nlohmann_json PkgConfig::HTTPLIB SQLite::SQLite3)
target_compile_definitions(listen_tool_test PRIVATE IPM_LISTEN_PATH="$<TARGET_FILE:ipm-listen>"
                                                    IPM_JOB_PATH="$<TARGET_FILE:ipm-job>")
add_dependencies(listen_tool_test ipm-listen ipm-job)
target_link_libraries(listen_alert_test PRIVATE ipm_listen_core ipm_internal PkgConfig::HTTPLIB)

# A job's life cycle on the monitor, with the scripted job and the listener
# as programs: the direct case alone, the Jabber case with the suite's
# message server.
add_executable(job_life_tests ${CMAKE_CURRENT_SOURCE_DIR}/job_life_tests.cpp)
target_link_libraries(job_life_tests PRIVATE GTest::gtest GTest::gtest_main nlohmann_json::nlohmann_json
                                             PkgConfig::HTTPLIB SQLite::SQLite3)
target_compile_definitions(job_life_tests PRIVATE IPM_JOB_PATH="$<TARGET_FILE:ipm-job>"
                                                  IPM_LISTEN_PATH="$<TARGET_FILE:ipm-listen>")
add_dependencies(job_life_tests ipm-job ipm-listen)
add_dependencies(ipm_threaded_tests job_life_tests)
gtest_discover_tests(job_life_tests TEST_FILTER "JobLife.Direct*" DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 120 LABELS threaded)
gtest_discover_tests(job_life_tests TEST_FILTER "JobLife.Jabber*" DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 180 FIXTURES_REQUIRED prosody LABELS threaded)
