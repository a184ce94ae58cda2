# The scripted job: its command reader, and the job against the listener, both
# run as programs.
find_package(nlohmann_json 3 REQUIRED)
target_sources(job_command_test PRIVATE ${PROJECT_SOURCE_DIR}/tools/job/ipm_JobCommand.cpp)
target_link_libraries(job_command_test PRIVATE nlohmann_json::nlohmann_json)

target_compile_definitions(job_tool_test PRIVATE IPM_JOB_PATH="$<TARGET_FILE:ipm-job>"
                                                 IPM_LISTEN_PATH="$<TARGET_FILE:ipm-listen>")
add_dependencies(job_tool_test ipm-job ipm-listen)
