# The input follower (LogReader) and the daemon's lifecycle: sources and tests.
# Included by log-converter/CMakeLists.txt after the vrex_log_core target exists.
target_sources(vrex_log_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/src/daemon.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/log_reader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/log_reader_inotify.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/log_reader_poll.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/position.cpp)

if(BUILD_TESTING)
  vrex_add_test(NAME log_follower_unit_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/follower/line_splitter_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tests/follower/position_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tests/follower/log_reader_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tests/follower/packaging_test.cpp
    LIBS vrex_log_core)
  target_compile_definitions(log_follower_unit_tests PRIVATE
    VREX_PACKAGING_DIR="${PROJECT_SOURCE_DIR}/packaging/log-converter")

  # End-to-end: the real daemon, run at its real paths inside the sandbox.
  # The program is defined after this file is included; the generator
  # expression and the dependency are resolved at generation time.
  vrex_add_sandbox_test(NAME log_follower_daemon_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/follower/daemon_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tests/follower/daemon_harness.cpp
    LIBS vrex_log_core)
  target_compile_definitions(log_follower_daemon_tests PRIVATE
    VREX_DAEMON_BINARY="$<TARGET_FILE:vrex-log-converter>")
  add_dependencies(log_follower_daemon_tests vrex-log-converter)
  set_tests_properties(log_follower_daemon_tests PROPERTIES TIMEOUT 300)
endif()
