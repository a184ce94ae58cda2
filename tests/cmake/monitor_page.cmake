# The monitor page in headless Chromium (Selenium) against the real listener,
# with one direct job and one through the suite's message server. Its picture
# of the page goes to the build directory (copy it to docs/monitor.png to
# refresh the documentation's).
find_package(Python3 COMPONENTS Interpreter)
# The distribution's Python carries python3-selenium; another one first on
# PATH (a version manager's, say) may not.
set(IPM_SELENIUM_PYTHON "")
foreach(candidate IN ITEMS ${Python3_EXECUTABLE} /usr/bin/python3)
  execute_process(COMMAND ${candidate} -c "import selenium" RESULT_VARIABLE missing OUTPUT_QUIET ERROR_QUIET)
  if(missing EQUAL 0)
    set(IPM_SELENIUM_PYTHON ${candidate})
    break()
  endif()
endforeach()
if(NOT IPM_SELENIUM_PYTHON)
  message(WARNING "No Python with Selenium (Debian: python3-selenium): monitor_page will fail")
  set(IPM_SELENIUM_PYTHON /usr/bin/python3)
endif()
# The scale figures only mean something without sanitizers.
set(IPM_PAGE_MEASURE "")
if(NOT IPM_SANITIZE)
  set(IPM_PAGE_MEASURE --measure)
endif()
add_test(NAME monitor_page
         COMMAND ${IPM_SELENIUM_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/monitor_page_test.py
                 --listen $<TARGET_FILE:ipm-listen> --job $<TARGET_FILE:ipm-job>
                 --screenshot ${CMAKE_BINARY_DIR}/monitor.png ${IPM_PAGE_MEASURE})
set_tests_properties(monitor_page PROPERTIES TIMEOUT 450 FIXTURES_REQUIRED prosody)
