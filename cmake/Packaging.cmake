# What `cmake --install` puts in place and what the Debian packages carry, in
# four components, one package each:
#   tool    kelvor: the tool, its manual page, completion, schema, the README
#           and the manual (docs/ as Markdown, and in HTML where KELVOR_MANUAL)
#   sim     orvanti-sim: the simulated module and its manual page
#   dev     libkelvor-dev: the library, its headers, CMake package, kelvor.pc
#           and the C++ examples
#   python  python3-kelvor: the Python package and its examples
#   service kelvord: the service that owns a line, its manual page,
#           completion, systemd unit and system user, the protocol's schema
# Every package has its copyright file and its changelog in share/doc/NAME.
include(CMakePackageConfigHelpers)

# CMake package: find_package(kelvor) gives kelvor::moduleSDK.
set(KELVOR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kelvor)
install(EXPORT kelvorTargets NAMESPACE kelvor:: DESTINATION ${KELVOR_CMAKE_DIR} FILE kelvorTargets.cmake COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kelvorConfig.cmake.in
  ${PROJECT_BINARY_DIR}/kelvorConfig.cmake INSTALL_DESTINATION ${KELVOR_CMAKE_DIR})
# Before 1.0 a minor version may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kelvorConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kelvorConfig.cmake ${PROJECT_BINARY_DIR}/kelvorConfigVersion.cmake
  DESTINATION ${KELVOR_CMAKE_DIR} COMPONENT dev)

# pkg-config: relocatable, its prefix found from where the file lies.
file(RELATIVE_PATH KELVOR_PC_TO_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
string(REGEX REPLACE "/$" "" KELVOR_PC_TO_PREFIX "${KELVOR_PC_TO_PREFIX}")
# The static library needs libtelnet at link time; the shared one has it in itself.
if(BUILD_SHARED_LIBS)
  set(KELVOR_PC_LIBS "-L\${libdir} -lkelvor")
  set(KELVOR_PC_LIBS_PRIVATE "-ltelnet")
else()
  set(KELVOR_PC_LIBS "-L\${libdir} -lkelvor -ltelnet")
  set(KELVOR_PC_LIBS_PRIVATE "")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/kelvor.pc.in ${PROJECT_BINARY_DIR}/kelvor.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kelvor.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# Manual pages. The command reference of kelvor(1) is the one that
# `kelvor --commands --man` prints, and its OPTIONS are made from the option
# table by kelvor-docs, so page and program cannot disagree.
set(KELVOR_MAN_DIR ${PROJECT_BINARY_DIR}/man)
set(KELVOR_MAN_PAGE ${KELVOR_MAN_DIR}/kelvor.1)
add_custom_command(OUTPUT ${KELVOR_MAN_PAGE}
  COMMAND ${CMAKE_COMMAND} -DKELVOR=$<TARGET_FILE:kelvor> -DDOCS=$<TARGET_FILE:kelvor-docs>
          -DIN=${PROJECT_SOURCE_DIR}/man/kelvor.1.in
          -DOUT=${KELVOR_MAN_PAGE} -DVERSION=${PROJECT_VERSION} -P ${CMAKE_CURRENT_LIST_DIR}/ManPage.cmake
  DEPENDS kelvor kelvor-docs ${PROJECT_SOURCE_DIR}/man/kelvor.1.in ${CMAKE_CURRENT_LIST_DIR}/ManPage.cmake
  COMMENT "Manual page kelvor(1)")
set(PROJECT_VERSION ${PROJECT_VERSION})
configure_file(${PROJECT_SOURCE_DIR}/man/orvanti-sim.1.in ${KELVOR_MAN_DIR}/orvanti-sim.1 @ONLY)
# Installed compressed, as Debian has them (gzip -n: no name, no time stamp).
find_program(KELVOR_GZIP gzip REQUIRED)
set(KELVOR_MAN_PAGES_GZ)
foreach(page ${KELVOR_MAN_PAGE} ${KELVOR_MAN_DIR}/orvanti-sim.1)
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${KELVOR_GZIP} -9nc ${page} > ${page}.gz
    DEPENDS ${page} COMMENT "Compressing ${page}")
  list(APPEND KELVOR_MAN_PAGES_GZ ${page}.gz)
endforeach()
add_custom_target(manpages ALL DEPENDS ${KELVOR_MAN_PAGES_GZ})
install(FILES ${KELVOR_MAN_PAGE}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
install(FILES ${KELVOR_MAN_DIR}/orvanti-sim.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT sim)

# The bash completion: its options and the options whose values it completes
# filled in from the option table by kelvor-docs.
set(KELVOR_COMPLETION ${PROJECT_BINARY_DIR}/completion/kelvor)
add_custom_command(OUTPUT ${KELVOR_COMPLETION}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/completion
  COMMAND kelvor-docs completion ${PROJECT_SOURCE_DIR}/completion/kelvor.in ${KELVOR_COMPLETION}
  DEPENDS kelvor-docs ${PROJECT_SOURCE_DIR}/completion/kelvor.in
  COMMENT "Bash completion of kelvor")
add_custom_target(completion ALL DEPENDS ${KELVOR_COMPLETION})
install(FILES ${KELVOR_COMPLETION} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT tool)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT tool)
# The simulator's own README and the manual's pages (with the station's
# screenshot), where the installed README's links find them.
install(FILES ${PROJECT_SOURCE_DIR}/sim/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR}/sim COMPONENT tool)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs COMPONENT tool)

# The manual in HTML: the pages of docs/, the README and sim/README.md built
# by Debian's mkdocs after mkdocs.yml, strict (a broken link, a page missing
# from the nav fails the build), into manual/ of the build folder (the target
# `manual`, part of the default build), installed in share/doc/kelvor/manual.
# The part KELVOR_MANUAL: AUTO builds it where mkdocs is found, ON (or
# KELVOR_REQUIRE_ALL) needs it, OFF leaves it out; KELVOR_MKDOCS names the
# program. The sanitizers' builds leave it out: it is the same there.
find_program(KELVOR_MKDOCS mkdocs)
set(KELVOR_MKDOCS_FOUND OFF)
if(KELVOR_MKDOCS)
  set(KELVOR_MKDOCS_FOUND ON)
endif()
kelvor_part(MANUAL "the manual in HTML" WHEN NOT KELVOR_SANITIZE AND NOT KELVOR_TSAN
  FOUND KELVOR_MKDOCS_FOUND NEEDS "mkdocs")
if(KELVOR_MANUAL)
  set(KELVOR_MANUAL_DIR ${PROJECT_BINARY_DIR}/manual)
  file(GLOB KELVOR_MANUAL_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*
    ${PROJECT_SOURCE_DIR}/docs-site/*.py ${PROJECT_SOURCE_DIR}/docs-site/theme/*)
  # No bytecode of the theme's hooks in the source tree.
  add_custom_command(OUTPUT ${KELVOR_MANUAL_DIR}/index.html
    COMMAND ${CMAKE_COMMAND} -E env PYTHONDONTWRITEBYTECODE=1
            ${KELVOR_MKDOCS} build --strict --quiet --config-file ${PROJECT_SOURCE_DIR}/mkdocs.yml
            --site-dir ${KELVOR_MANUAL_DIR}
    DEPENDS ${PROJECT_SOURCE_DIR}/mkdocs.yml ${KELVOR_MANUAL_SOURCES}
            ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/sim/README.md
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    COMMENT "The manual in HTML (mkdocs build --strict)")
  add_custom_target(manual ALL DEPENDS ${KELVOR_MANUAL_DIR}/index.html)
  install(DIRECTORY ${KELVOR_MANUAL_DIR}/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/manual COMPONENT tool)
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/libkelvor-dev/examples
  COMPONENT dev PATTERN python EXCLUDE)
if(KELVOR_PYTHON)
  file(GLOB KELVOR_PYTHON_EXAMPLES ${PROJECT_SOURCE_DIR}/examples/python/*.py)
  # Examples in share/doc are read, not run from there: installed without the executable bit.
  install(FILES ${KELVOR_PYTHON_EXAMPLES} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/python3-kelvor/examples
    COMPONENT python)
endif()

# A static library is installed without its debugging sections when the
# install strips (cpack, cmake --install --strip): objects stay deterministic.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-debug --enable-deterministic-archives
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:moduleSDK>\"
      RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR \"strip of the static library failed\")
    endif()
  endif()" COMPONENT dev)

# The Debian changelog of every package: packaging/changelog, whose first
# entry must name this version; its date is the packages' SOURCE_DATE_EPOCH
# (scripts/check-install.sh sets it from there).
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog KELVOR_CHANGELOG_HEAD LIMIT_COUNT 1)
if(NOT KELVOR_CHANGELOG_HEAD MATCHES "^kelvor \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog begins with '${KELVOR_CHANGELOG_HEAD}', not version ${PROJECT_VERSION}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog)
set(KELVOR_CHANGELOG_GZ ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${KELVOR_CHANGELOG_GZ}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
  COMMAND ${KELVOR_GZIP} -9nc ${PROJECT_SOURCE_DIR}/packaging/changelog > ${KELVOR_CHANGELOG_GZ}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog COMMENT "Compressing the changelog")
add_custom_target(changelog ALL DEPENDS ${KELVOR_CHANGELOG_GZ})

set(KELVOR_COMPONENTS tool sim dev)
set(KELVOR_PACKAGE_tool kelvor)
set(KELVOR_PACKAGE_sim orvanti-sim)
set(KELVOR_PACKAGE_dev libkelvor-dev)
set(KELVOR_PACKAGE_python python3-kelvor)
set(KELVOR_PACKAGE_service kelvord)
if(KELVOR_PYTHON)
  list(APPEND KELVOR_COMPONENTS python)
endif()
if(KELVOR_SERVICE)
  list(APPEND KELVOR_COMPONENTS service)
endif()
foreach(component ${KELVOR_COMPONENTS})
  # A native package: its changelog is changelog.gz.
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${KELVOR_CHANGELOG_GZ}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${KELVOR_PACKAGE_${component}} COMPONENT ${component})
endforeach()

# Debian packages: cpack -G DEB in the build folder gives one .deb per
# component. The shared-library dependencies (libc, libstdc++, libsqlite3 of
# the simulator) come from dpkg-shlibdeps (package dpkg-dev).
set(KELVOR_MAINTAINER "Seed 41107926 maintainers <maintainers@users.noreply.c-seed-41107926.example>"
  CACHE STRING "The Maintainer field of the Debian packages")
set(CPACK_PACKAGE_NAME kelvor)
set(CPACK_PACKAGE_VENDOR "kelvor")
set(CPACK_PACKAGE_CONTACT "${KELVOR_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KELVOR_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${KELVOR_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME kelvor)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_TOOL_DESCRIPTION "console tool for serial fingerprint modules
kelvor drives Orvanti fingerprint modules over a serial line (RS-232, or
RS-485 with many modules on one line): enrollment, identification,
verification, images, the template database, the event log, the clock,
Wiegand, smart cards and the module's ports, one command per run, from batch
files or from directories, with a trace of every packet and JSON results.")
set(CPACK_DEBIAN_TOOL_PACKAGE_SUGGESTS "orvanti-sim, bash-completion")

set(CPACK_DEBIAN_SIM_PACKAGE_NAME orvanti-sim)
set(CPACK_DEBIAN_SIM_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_SIM_DESCRIPTION "simulated Orvanti fingerprint module on a pseudo-terminal
orvanti-sim plays a fingerprint module on a pseudo-terminal, with its
template database, parameters, event log and ports kept across restarts,
fingers and cards placed on demand and faults of the line, so that kelvor
and other host programs can be run and tested without hardware.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkelvor-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION "C++ library for serial fingerprint modules (development files)
The kelvor library drives Orvanti fingerprint modules over a serial line:
packets, data transfers and every command family, with result codes and a
trace log. This package holds the static library, its C++20 headers, its
CMake package (find_package(kelvor)) and its pkg-config file.")
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "g++ (>= 4:12), pkg-config, cmake")
# Programs linked with the static library link libtelnet too.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libtelnet-dev")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-kelvor)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Python library for serial fingerprint modules
The Python package kelvor gives programs the whole kelvor library: every
command family of Orvanti fingerprint modules as methods with Python values,
refusals and line failures as exceptions, progress callbacks for long
transfers and the trace through logging.")
if(KELVOR_PYTHON)
  math(EXPR next_minor "${Python_VERSION_MINOR} + 1")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "python3 (>= ${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}~), python3 (<< ${Python_VERSION_MAJOR}.${next_minor})")
endif()
set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME kelvord)
set(CPACK_DEBIAN_SERVICE_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_SERVICE_DESCRIPTION "service that shares a line of serial fingerprint modules
kelvord owns one serial line of Orvanti fingerprint modules (RS-232, or
RS-485 with many modules) and serves it to many clients over a Unix socket
and, with a token, TCP: commands of every client one at a time, each
answered with kelvor's JSON object, and what the modules send on their own
(free-scan identifications, text lines) and the line's state as live
events. A lost line is opened again. A systemd template unit serves a port.
A directory of people names the user IDs, and a web page served by the
service (the enrollment station) enrolls and tests fingers with their
images, shows the live events and takes backups.
With --mqtt it publishes the events on an MQTT broker, takes requests there
when asked, and announces each module to Home Assistant.")
set(CPACK_DEBIAN_SERVICE_PACKAGE_SUGGESTS "kelvor, socat, bash-completion")
# The service's system user and groups are made by its postinst.
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/kelvord/postinst)
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
