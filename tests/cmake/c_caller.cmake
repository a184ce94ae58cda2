# A C99 program that includes the entry points' header and calls the shared
# library by the plain names.
add_executable(ipm_c_caller ${CMAKE_CURRENT_SOURCE_DIR}/ipm_c_caller.c)
ipm_warnings(ipm_c_caller)
set_target_properties(ipm_c_caller PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
target_link_libraries(ipm_c_caller PRIVATE ipm)
add_test(NAME ipm_c_caller COMMAND ipm_c_caller)
