# Fills the manual page template: the version, the options as the option
# table describes them (kelvor-docs), and the command reference as the kelvor
# program prints it (cmake -P, with KELVOR, DOCS, IN, OUT and VERSION).
execute_process(COMMAND ${KELVOR} --commands --man OUTPUT_VARIABLE reference RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${KELVOR} --commands --man failed: ${status}")
endif()
execute_process(COMMAND ${DOCS} manual-options OUTPUT_VARIABLE options RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${DOCS} manual-options failed: ${status}")
endif()
file(READ ${IN} page)
string(REPLACE "@PROJECT_VERSION@" "${VERSION}" page "${page}")
string(REPLACE "@OPTIONS@\n" "${options}" page "${page}")
string(REPLACE "@COMMAND_REFERENCE@\n" "${reference}" page "${page}")
file(WRITE ${OUT}.tmp "${page}")
file(RENAME ${OUT}.tmp ${OUT})
