# tty back end of the POSIX layer: the port-name mapping and a pty as the line.
add_executable(test_portname ${CMAKE_CURRENT_LIST_DIR}/test_portname.cpp)
target_link_libraries(test_portname PRIVATE cabletest_platform GTest::gtest_main)
gtest_discover_tests(test_portname PROPERTIES TIMEOUT 30)

# A pty as the line, through the Win32 operations. Each case runs in its own
# process (CABLETEST_DEVICE_DIR is set per case); every wait in them is
# bounded, and the time limit catches a wait that hangs.
add_executable(test_tty ${CMAKE_CURRENT_LIST_DIR}/test_tty.cpp)
target_link_libraries(test_tty PRIVATE cabletest_platform cabletest_test_support GTest::gtest_main)
gtest_discover_tests(test_tty PROPERTIES TIMEOUT 30)
