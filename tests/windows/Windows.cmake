# The tests of a Windows build, run under the cross-compiling emulator (Wine)
# when built on Linux: the unit tests that need no pseudo-terminal (a Windows
# program cannot hold the far end's master side) and the tests of the Windows
# side of the system-facing files. GoogleTest comes from Debian's sources
# (package googletest), built with the same compiler.
set(KELVOR_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources for a cross build")
if(NOT EXISTS ${KELVOR_GTEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest's sources are not in ${KELVOR_GTEST_SOURCE} (package googletest)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${KELVOR_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

set(WINDOWS_UNIT_SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_windows_system.cpp)
foreach(name bmp keywords network_port port_name results serial_line sha256 telnet vocabulary)
  list(APPEND WINDOWS_UNIT_SOURCES ${CMAKE_CURRENT_LIST_DIR}/../unit/test_${name}.cpp)
endforeach()
add_executable(unit_tests ${WINDOWS_UNIT_SOURCES})
target_link_libraries(unit_tests PRIVATE kelvorFront gtest gtest_main)
target_compile_definitions(unit_tests PRIVATE KELVOR_FIXTURES="${CMAKE_CURRENT_LIST_DIR}/../fixtures")
# The scripted server and the Telnet scripts of the network port tests.
target_include_directories(unit_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../support)

# One test per program: GoogleTest lists its own results, and Wine starts once.
add_test(NAME Windows.UnitTests COMMAND unit_tests)
if(CMAKE_CROSSCOMPILING)
  set(WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
  execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/wine.sh env ${WINE_PREFIX}
    OUTPUT_VARIABLE WINE_ENV OUTPUT_STRIP_TRAILING_WHITESPACE)
  separate_arguments(WINE_ENV)
  add_test(NAME Windows.WineStart COMMAND ${PROJECT_SOURCE_DIR}/scripts/wine.sh start ${WINE_PREFIX})
  add_test(NAME Windows.WineStop COMMAND ${PROJECT_SOURCE_DIR}/scripts/wine.sh stop ${WINE_PREFIX})
  set_tests_properties(Windows.WineStart PROPERTIES FIXTURES_SETUP wine TIMEOUT 120)
  set_tests_properties(Windows.WineStop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60)
  set_tests_properties(Windows.UnitTests PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "${WINE_ENV}" TIMEOUT 300)
endif()
