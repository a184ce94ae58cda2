# Jobs in C, Fortran and Python against the real listener, the Python
# package's own checks, and outside projects built against an installed
# package.
find_package(Python3 COMPONENTS Interpreter)
set(IPM_BINDINGS_TESTS ${CMAKE_CURRENT_SOURCE_DIR}/bindings)
set(IPM_PYTHON_PATH ${PROJECT_SOURCE_DIR}/bindings/python)

# A Python process loading the sanitized library needs the sanitizer's
# runtime loaded first, and the C++ runtime with it so that the sanitizer
# finds the exception functions it wraps; the interpreter's own leaks are
# not ours.
set(IPM_PYTHON_PRELOAD "")
if(IPM_SANITIZE MATCHES "address|thread")
  if(IPM_SANITIZE MATCHES "address")
    set(runtimes libasan.so libstdc++.so)
  else()
    set(runtimes libtsan.so libstdc++.so)
  endif()
  foreach(runtime ${runtimes})
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    string(APPEND IPM_PYTHON_PRELOAD ":${path}")
  endforeach()
  string(SUBSTRING ${IPM_PYTHON_PRELOAD} 1 -1 IPM_PYTHON_PRELOAD)
endif()
# Bytecode stays out of the source tree.
set(IPM_PYTHON_ENVIRONMENT PYTHONPATH=${IPM_PYTHON_PATH} IPM_LIBRARY=$<TARGET_FILE:ipm> PYTHONDONTWRITEBYTECODE=1)
if(IPM_PYTHON_PRELOAD)
  list(APPEND IPM_PYTHON_ENVIRONMENT LD_PRELOAD=${IPM_PYTHON_PRELOAD} ASAN_OPTIONS=detect_leaks=0)
endif()

if(NOT Python3_Interpreter_FOUND)
  message(STATUS "No Python 3: the binding tests are not run")
  return()
endif()

function(ipm_job_test language)
  add_test(NAME bindings_${language}_job
           COMMAND ${Python3_EXECUTABLE} ${IPM_BINDINGS_TESTS}/job_against_listener.py
                   --listen $<TARGET_FILE:ipm-listen> --name ${language}job -- ${ARGN})
  set_tests_properties(bindings_${language}_job PROPERTIES TIMEOUT 90)
endfunction()

# One language's job suffices for the whole road; the Fortran binding is
# checked for linking and reaching the library.
if(TARGET fortran-job)
  add_executable(fortran_binding_check ${IPM_BINDINGS_TESTS}/fortran_binding_check.f90)
  ipm_warnings(fortran_binding_check)
  target_link_libraries(fortran_binding_check PRIVATE ipm_fortran)
  add_test(NAME bindings_fortran_check COMMAND fortran_binding_check)
  set_tests_properties(bindings_fortran_check PROPERTIES TIMEOUT 60)
endif()
ipm_job_test(python ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/examples/python_job.py)
set_tests_properties(bindings_python_job PROPERTIES ENVIRONMENT "${IPM_PYTHON_ENVIRONMENT}")

add_test(NAME bindings_python_unit COMMAND ${Python3_EXECUTABLE} ${IPM_BINDINGS_TESTS}/test_python_binding.py)
set_tests_properties(bindings_python_unit PROPERTIES TIMEOUT 90 ENVIRONMENT "${IPM_PYTHON_ENVIRONMENT}")

set(IPM_CONSUMER_ENVIRONMENT PYTHON=${Python3_EXECUTABLE} IPM_PYTHON_DIR=${IPM_INSTALL_PYTHONDIR}
                             IPM_SANITIZE=${IPM_SANITIZE}
                             IPM_PYTHON_PRELOAD=${IPM_PYTHON_PRELOAD})
if(CMAKE_Fortran_COMPILER)
  list(APPEND IPM_CONSUMER_ENVIRONMENT FC=${CMAKE_Fortran_COMPILER})
endif()
add_test(NAME bindings_consumer
         COMMAND bash ${IPM_BINDINGS_TESTS}/consumer_test.sh ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR})
set_tests_properties(bindings_consumer PROPERTIES TIMEOUT 300 ENVIRONMENT "${IPM_CONSUMER_ENVIRONMENT}")
