# The program itself: the serial line's routines in-process on the simulated
# line, and the whole binary at the prompt (through a pty as its terminal),
# on the simulated line in virtual time, and on a pty as the line in real
# time. Each case runs in a process of its own, bounded by its TIMEOUT.

# The rules of the monitoring loop and start-up, in standard C++ only.
add_executable(test_passrule ${CMAKE_CURRENT_LIST_DIR}/test_passrule.cpp)
target_include_directories(test_passrule PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(test_passrule PRIVATE GTest::gtest_main)
gtest_discover_tests(test_passrule PROPERTIES TIMEOUT 30)

# Watcher and receiver in-process, traced by the recording sink.
add_executable(test_line ${CMAKE_CURRENT_LIST_DIR}/test_line.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trace_record.cpp)
target_link_libraries(test_line PRIVATE cabletest_serial cabletest_test_support GTest::gtest_main)
gtest_discover_tests(test_line NO_PRETTY_VALUES
  PROPERTIES TIMEOUT 30 ENVIRONMENT "CABLETEST_CLOCK=virtual")

# The real binary: start-up and the prompt, scenarios on the simulated line,
# and a pty as the line.
foreach(name test_startup test_monitor test_app_tty)
  add_executable(${name} ${CMAKE_CURRENT_LIST_DIR}/${name}.cpp)
  target_link_libraries(${name} PRIVATE cabletest_test_support GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    "CABLETEST_EXPECTED_VERSION=\"${PROJECT_VERSION}\"")
  add_dependencies(${name} cabletest)
  gtest_discover_tests(${name} NO_PRETTY_VALUES PROPERTIES TIMEOUT 60)
endforeach()
