# The shared library's dynamic symbol table: exported interface present,
# internals hidden.
add_test(NAME ipm_exports COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/check_exports.sh $<TARGET_FILE:ipm>)
