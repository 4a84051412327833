# The Windows package: cpack -G ZIP (and -G NSIS where makensis is present)
# in the cross build's folder, with kelvor.exe, the README and the manual's
# pages (Markdown), the command
# reference and the example programs. The command reference is what
# `kelvor --commands` prints, made by running the program once (under the
# cross-compiling emulator, Wine, when built on Linux).
set(KELVOR_COMMANDS_TXT ${PROJECT_BINARY_DIR}/COMMANDS.txt)
add_custom_command(OUTPUT ${KELVOR_COMMANDS_TXT}
  COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:kelvor> --commands > ${KELVOR_COMMANDS_TXT}
  DEPENDS kelvor
  COMMENT "Command reference COMMANDS.txt")
add_custom_target(command-reference ALL DEPENDS ${KELVOR_COMMANDS_TXT})

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${KELVOR_COMMANDS_TXT} DESTINATION doc)
# The manual's pages and the simulator's README, where the README's links find them.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION doc/docs)
install(FILES ${PROJECT_SOURCE_DIR}/sim/README.md DESTINATION doc/sim)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION doc/examples)

set(CPACK_PACKAGE_NAME kelvor)
set(CPACK_PACKAGE_VENDOR "kelvor")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Fingerprint module console tool and library")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_SYSTEM_NAME win64)
set(CPACK_PACKAGE_INSTALL_DIRECTORY kelvor)
set(CPACK_STRIP_FILES ON)
find_program(KELVOR_MAKENSIS makensis)
if(KELVOR_MAKENSIS)
  set(CPACK_GENERATOR "ZIP;NSIS")
  set(CPACK_NSIS_DISPLAY_NAME "kelvor ${PROJECT_VERSION}")
  set(CPACK_NSIS_MODIFY_PATH ON)
else()
  set(CPACK_GENERATOR ZIP)
endif()
include(CPack)
