# One message server serves the whole suite: tests that need it name the
# fixture "prosody" (FIXTURES_REQUIRED), and CTest starts it before the first
# of them and stops it after the last, also when a test fails.
set(IPM_PROSODY_DIR ${CMAKE_BINARY_DIR}/prosody)
add_test(NAME prosody_start COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/prosody/start-prosody ${IPM_PROSODY_DIR})
add_test(NAME prosody_stop COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/prosody/stop-prosody ${IPM_PROSODY_DIR})
set_tests_properties(prosody_start PROPERTIES FIXTURES_SETUP prosody TIMEOUT 30)
set_tests_properties(prosody_stop PROPERTIES FIXTURES_CLEANUP prosody)
