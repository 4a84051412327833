# A ThreadSanitizer build (KELVOR_TSAN, clang -fsanitize=thread) runs only the
# tests whose code runs threads: the library's threaded tests (the keyword
# table read side by side, interrupts and waits of a line from another
# thread, several Lines at once), the service's pieces in-process, kelvord against the simulated
# module with its clients, and the Python package's calls from several
# threads, on one Module and on several. Included by tests/CMakeLists.txt, which registers nothing else.
#
# Every report ends the process that made it (halt_on_error) and is written
# to tsan-reports/ of the build tree, also a report of a kelvord or a
# simulated module that a test started: the test command fails when the
# folder holds one after the run (scripts/test.sh).
set(KELVOR_TSAN_REPORTS ${CMAKE_BINARY_DIR}/tsan-reports)
file(MAKE_DIRECTORY ${KELVOR_TSAN_REPORTS})
set(KELVOR_TSAN_OPTIONS "halt_on_error=1:exitcode=66:second_deadlock_stack=1:log_path=${KELVOR_TSAN_REPORTS}/report")

# The library's tests that run threads; the same sources are in unit_tests
# of the other builds.
add_executable(threads_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/unit/test_keyword_threads.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unit/test_line_events.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unit/test_observers.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unit/test_serial_line.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/sim/test_sim_lines.cpp)
target_link_libraries(threads_tests PRIVATE testSupport GTest::gtest_main)
# Several Lines at once, each on a simulated module of its own.
if(TARGET orvanti-sim)
  add_dependencies(threads_tests orvanti-sim)
endif()
gtest_discover_tests(threads_tests DISCOVERY_TIMEOUT 120
  PROPERTIES TIMEOUT 300 ENVIRONMENT "TSAN_OPTIONS=${KELVOR_TSAN_OPTIONS}")

# The Python package: an extension instrumented by clang in an interpreter
# that is not. The interpreter needs a ThreadSanitizer runtime loaded before
# anything else, and clang 14's shared runtime (libclang_rt.tsan-x86_64.so)
# crashes at start in any program it is preloaded into: GCC's (libtsan2, the
# same runtime's sources) serves the extension's instrumentation instead.
# The launcher takes the preload away from the programs the tests start
# (kelvord and the simulated module carry their own runtime). Suppressions:
# the interpreter's own internals only (suppressions.txt).
find_program(KELVOR_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_file(KELVOR_TSAN_PRELOAD NAMES libtsan.so.2 PATHS /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE} NO_DEFAULT_PATH)
if(NOT KELVOR_TSAN_PRELOAD)
  message(FATAL_ERROR "GCC's ThreadSanitizer runtime (Debian: libtsan2) is needed for the tests of Python")
endif()
set(KELVOR_TSAN_PYTHON ${CMAKE_COMMAND} -E env LD_PRELOAD=${KELVOR_TSAN_PRELOAD}
  ${KELVOR_SYSTEM_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/tsan/preloaded.py)
set(KELVOR_TSAN_PYTHON_ENV "PYTHONPATH=${PROJECT_BINARY_DIR}/python" "KELVOR_BIN=${CMAKE_BINARY_DIR}/bin"
  "TSAN_OPTIONS=${KELVOR_TSAN_OPTIONS}:suppressions=${CMAKE_CURRENT_SOURCE_DIR}/tsan/suppressions.txt")

if(KELVOR_SERVICE)
  file(GLOB SERVICE_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/service/*.cpp)
  add_executable(service_tests ${SERVICE_SOURCES})
  target_link_libraries(service_tests PRIVATE testSupport kelvordCore GTest::gtest_main)
  gtest_discover_tests(service_tests DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT 300 ENVIRONMENT "TSAN_OPTIONS=${KELVOR_TSAN_OPTIONS}")
  configure_file(${PROJECT_SOURCE_DIR}/schema/kelvord-protocol.schema.json
    ${PROJECT_BINARY_DIR}/schema/kelvord-protocol.schema.json COPYONLY)
  add_dependencies(service_tests kelvord orvanti-sim schema)
  # kelvord (its loop, its lines' threads, its MQTT bridge's) under its
  # clients of every kind, the Python package's Client among them; kelvor's
  # own clients a test each and the rest in one, side by side (the slowest
  # part sets the stage's time).
  # ServerRuns is left out here: it runs kelvor --server (one thread) over and
  # over, and what it asks of kelvord the other parts ask too; it took the
  # stage's longest 94 s.
  set(KELVOR_SERVICE_CLIENTS ServerRuns Watching PythonClient)
  foreach(clients Watching PythonClient)
    add_test(NAME Service.AgainstTheSimulator.${clients}
      COMMAND ${KELVOR_TSAN_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/service/test_service.py
        --bin ${CMAKE_BINARY_DIR}/bin --schema-dir ${PROJECT_BINARY_DIR}/schema ${clients})
    set_tests_properties(Service.AgainstTheSimulator.${clients}
      PROPERTIES TIMEOUT 900 COST 50 ENVIRONMENT "${KELVOR_TSAN_PYTHON_ENV}")
  endforeach()
  add_test(NAME Service.AgainstTheSimulator.Protocol
    COMMAND ${KELVOR_TSAN_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/service/test_service.py
      --bin ${CMAKE_BINARY_DIR}/bin --schema-dir ${PROJECT_BINARY_DIR}/schema --except ${KELVOR_SERVICE_CLIENTS})
  set_tests_properties(Service.AgainstTheSimulator.Protocol
    PROPERTIES TIMEOUT 900 COST 50 ENVIRONMENT "${KELVOR_TSAN_PYTHON_ENV}")
endif()

if(KELVOR_PYTHON)
  add_test(NAME Python.ThreadsAgainstTheSimulator
    COMMAND ${KELVOR_TSAN_PYTHON} -m pytest -q -p no:cacheprovider
      ${CMAKE_CURRENT_SOURCE_DIR}/python/test_threads_and_transfers.py)
  set_tests_properties(Python.ThreadsAgainstTheSimulator PROPERTIES TIMEOUT 600 COST 40
    ENVIRONMENT "${KELVOR_TSAN_PYTHON_ENV}")
  # Several Modules, each on a line of its own, called from several threads at once.
  add_test(NAME Python.LinesAgainstTheSimulator
    COMMAND ${KELVOR_TSAN_PYTHON} -m pytest -q -p no:cacheprovider
      ${CMAKE_CURRENT_SOURCE_DIR}/python/test_lines.py)
  set_tests_properties(Python.LinesAgainstTheSimulator PROPERTIES TIMEOUT 600 COST 40
    ENVIRONMENT "${KELVOR_TSAN_PYTHON_ENV}")
endif()
