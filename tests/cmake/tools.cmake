# The scripted job: its command reader, and the job against the listener, both
# run as programs.
find_package(nlohmann_json 3 REQUIRED)
target_sources(job_command_test PRIVATE ${PROJECT_SOURCE_DIR}/tools/job/ipm_JobCommand.cpp)
target_link_libraries(job_command_test PRIVATE nlohmann_json::nlohmann_json)

# The Jabber transport's faults against a private message server.
target_link_libraries(job_faults_test PRIVATE ipm_listen_core ipm_internal)
target_compile_definitions(job_faults_test
  PRIVATE IPM_PROSODY_TEMPLATE="${CMAKE_CURRENT_SOURCE_DIR}/prosody/prosody.cfg.lua.in")
