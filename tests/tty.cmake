# tty back end of the POSIX layer: the port-name mapping, the line settings,
# and a pty as the line through the Win32 operations. Every wait in them is
# bounded, and the time limit catches one that hangs.
foreach(name test_portname test_tty_settings test_tty)
  add_executable(${name} ${CMAKE_CURRENT_LIST_DIR}/${name}.cpp)
  target_link_libraries(${name} PRIVATE cabletest_platform cabletest_test_support GTest::gtest_main)
  gtest_discover_tests(${name} PROPERTIES TIMEOUT 30)
endforeach()
