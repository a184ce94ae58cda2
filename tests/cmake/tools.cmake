# The scripted job against the listener, both run as programs.
target_compile_definitions(job_tool_test PRIVATE IPM_JOB_PATH="$<TARGET_FILE:ipm-job>"
                                                 IPM_LISTEN_PATH="$<TARGET_FILE:ipm-listen>")
add_dependencies(job_tool_test ipm-job ipm-listen)
