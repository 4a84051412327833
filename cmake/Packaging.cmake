# What `cmake --install` puts in place and what the Debian package carries:
# the programs, the library with its public headers, the CMake package and the
# pkg-config file, the manual pages and the bash completion.
include(CMakePackageConfigHelpers)

# CMake package: find_package(kelvor) gives kelvor::moduleSDK.
set(KELVOR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kelvor)
install(EXPORT kelvorTargets NAMESPACE kelvor:: DESTINATION ${KELVOR_CMAKE_DIR} FILE kelvorTargets.cmake)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kelvorConfig.cmake.in
  ${PROJECT_BINARY_DIR}/kelvorConfig.cmake INSTALL_DESTINATION ${KELVOR_CMAKE_DIR})
# Before 1.0 a minor version may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kelvorConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kelvorConfig.cmake ${PROJECT_BINARY_DIR}/kelvorConfigVersion.cmake
  DESTINATION ${KELVOR_CMAKE_DIR})

# pkg-config: relocatable, its prefix found from where the file lies.
file(RELATIVE_PATH KELVOR_PC_TO_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
string(REGEX REPLACE "/$" "" KELVOR_PC_TO_PREFIX "${KELVOR_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/kelvor.pc.in ${PROJECT_BINARY_DIR}/kelvor.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kelvor.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Manual pages. The command reference of kelvor(1) is the one that
# `kelvor --commands --man` prints, so page and program cannot disagree.
set(KELVOR_MAN_DIR ${PROJECT_BINARY_DIR}/man)
set(KELVOR_MAN_PAGE ${KELVOR_MAN_DIR}/kelvor.1)
add_custom_command(OUTPUT ${KELVOR_MAN_PAGE}
  COMMAND ${CMAKE_COMMAND} -DKELVOR=$<TARGET_FILE:kelvor> -DIN=${PROJECT_SOURCE_DIR}/man/kelvor.1.in
          -DOUT=${KELVOR_MAN_PAGE} -DVERSION=${PROJECT_VERSION} -P ${CMAKE_CURRENT_LIST_DIR}/ManPage.cmake
  DEPENDS kelvor ${PROJECT_SOURCE_DIR}/man/kelvor.1.in ${CMAKE_CURRENT_LIST_DIR}/ManPage.cmake
  COMMENT "Manual page kelvor(1)")
set(PROJECT_VERSION ${PROJECT_VERSION})
configure_file(${PROJECT_SOURCE_DIR}/man/orvanti-sim.1.in ${KELVOR_MAN_DIR}/orvanti-sim.1 @ONLY)
add_custom_target(manpages ALL DEPENDS ${KELVOR_MAN_PAGE})
install(FILES ${KELVOR_MAN_PAGE} ${KELVOR_MAN_DIR}/orvanti-sim.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES ${PROJECT_SOURCE_DIR}/completion/kelvor DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The simulator's own README, where the installed README's link finds it.
install(FILES ${PROJECT_SOURCE_DIR}/sim/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR}/sim)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# Debian package: cpack -G DEB in the build folder. The shared-library
# dependencies (libc, libstdc++, libsqlite3 of the simulator) come from
# dpkg-shlibdeps (package dpkg-dev).
set(CPACK_PACKAGE_NAME kelvor)
set(CPACK_PACKAGE_VENDOR "kelvor")
set(CPACK_PACKAGE_CONTACT "kelvor maintainers <kelvor@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Fingerprint module console tool, library and simulated module")
set(CPACK_PACKAGE_DESCRIPTION "kelvor drives a fingerprint module over a serial line (RS-232 or RS-485).
The package holds the kelvor tool, the C++20 library with its headers, CMake
package and pkg-config file, and orvanti-sim, a simulated module on a
pseudo-terminal for work without hardware.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "g++ (>= 4:12), pkg-config, cmake, bash-completion")
include(CPack)
