# Console services: the key decoder on its own, and the key read and echo
# through a real pty as the controlling terminal of a small probe program.
add_executable(test_keydecode ${CMAKE_CURRENT_SOURCE_DIR}/test_keydecode.cpp)
target_link_libraries(test_keydecode PRIVATE cabletest_console GTest::gtest_main)
gtest_discover_tests(test_keydecode PROPERTIES TIMEOUT 30)

add_executable(console_probe ${CMAKE_CURRENT_SOURCE_DIR}/console_probe.cpp)
target_link_libraries(console_probe PRIVATE cabletest_console)

add_executable(test_console_binary ${CMAKE_CURRENT_SOURCE_DIR}/test_console_binary.cpp)
target_link_libraries(test_console_binary PRIVATE cabletest_test_support GTest::gtest_main)
target_compile_definitions(test_console_binary PRIVATE
  "CONSOLE_PROBE=\"$<TARGET_FILE:console_probe>\"")
add_dependencies(test_console_binary console_probe)
gtest_discover_tests(test_console_binary PROPERTIES TIMEOUT 60)
