# Alerts end to end: an independent Jabber client as the engineer, a team
# room and a webhook receiver, against the real listener and the suite's
# message server.
add_test(NAME alerts
         COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/alerts_test.py
                 --listen $<TARGET_FILE:ipm-listen> --job $<TARGET_FILE:ipm-job>
                 --prosody-config ${CMAKE_BINARY_DIR}/prosody/prosody.cfg.lua)
set_tests_properties(alerts PROPERTIES TIMEOUT 180 FIXTURES_REQUIRED prosody)
