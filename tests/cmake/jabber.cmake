# The Jabber transport against real message servers: the suite's shared one
# (fixture "prosody") and private ones that the tests start from the same
# configuration template.
add_executable(jabber_server_tests ${CMAKE_CURRENT_SOURCE_DIR}/jabber_server_tests.cpp)
target_link_libraries(jabber_server_tests PRIVATE ipm_internal ipm_listen_core GTest::gtest GTest::gtest_main)
target_compile_definitions(jabber_server_tests
  PRIVATE IPM_PROSODY_TEMPLATE="${CMAKE_CURRENT_SOURCE_DIR}/prosody/prosody.cfg.lua.in")
gtest_discover_tests(jabber_server_tests DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 120 FIXTURES_REQUIRED prosody LABELS threaded)
