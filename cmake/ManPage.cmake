# Fills the manual page template: the version, and the command reference as
# the kelvor program prints it (cmake -P, with KELVOR, IN, OUT and VERSION).
execute_process(COMMAND ${KELVOR} --commands --man OUTPUT_VARIABLE reference RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${KELVOR} --commands --man failed: ${status}")
endif()
file(READ ${IN} page)
string(REPLACE "@PROJECT_VERSION@" "${VERSION}" page "${page}")
string(REPLACE "@COMMAND_REFERENCE@\n" "${reference}" page "${page}")
file(WRITE ${OUT}.tmp "${page}")
file(RENAME ${OUT}.tmp ${OUT})
