# The input follower (LogReader) and the daemon's lifecycle: sources and tests.
# Included by log-converter/CMakeLists.txt after the vrex_log_core target exists.
target_sources(vrex_log_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/src/daemon.cpp)
