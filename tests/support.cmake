# Support library for tests that run the real program: temporary folders, pty
# pairs and child processes (tests/support/harness.h). Whoever links it gets
# CABLETEST_BINARY compiled in as the default program to run; a test that runs
# it adds add_dependencies(<test> cabletest), which the path alone does not.
add_library(cabletest_test_support STATIC ${CMAKE_CURRENT_SOURCE_DIR}/support/harness.cpp)
target_include_directories(cabletest_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/support)
target_compile_definitions(cabletest_test_support PUBLIC "CABLETEST_BINARY=\"${CABLETEST_BINARY}\"")
