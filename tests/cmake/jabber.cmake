# The job and the listener through a message server that runs Debian's
# shipped configuration (fixture "secure_prosody"). It takes 127.0.0.1:5222
# like the suite's legacy server, so it starts only after that one stopped.
# Its cases share the job's account, which one of them leaves unregistered,
# so they run one at a time.
set(IPM_SECURE_PROSODY_DIR ${CMAKE_BINARY_DIR}/secure-prosody)
add_test(NAME secure_prosody_start
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/prosody/start-secure-prosody ${IPM_SECURE_PROSODY_DIR} mon:mon-secret-7)
add_test(NAME secure_prosody_stop COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/prosody/stop-prosody ${IPM_SECURE_PROSODY_DIR})
set_tests_properties(secure_prosody_start PROPERTIES FIXTURES_SETUP secure_prosody TIMEOUT 60 DEPENDS prosody_stop)
set_tests_properties(secure_prosody_stop PROPERTIES FIXTURES_CLEANUP secure_prosody)

add_executable(jabber_secure_tests ${CMAKE_CURRENT_SOURCE_DIR}/jabber_secure_tests.cpp)
ipm_warnings(jabber_secure_tests)
target_link_libraries(jabber_secure_tests PRIVATE GTest::gtest GTest::gtest_main)
target_compile_definitions(jabber_secure_tests PRIVATE IPM_JOB_PATH="$<TARGET_FILE:ipm-job>"
  IPM_LISTEN_PATH="$<TARGET_FILE:ipm-listen>" IPM_SECURE_PROSODY_DIR="${IPM_SECURE_PROSODY_DIR}")
add_dependencies(jabber_secure_tests ipm-job ipm-listen)
add_dependencies(ipm_threaded_tests jabber_secure_tests)
gtest_discover_tests(jabber_secure_tests DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 180 FIXTURES_REQUIRED secure_prosody DEPENDS prosody_stop LABELS threaded
             RESOURCE_LOCK secure_prosody_accounts)
