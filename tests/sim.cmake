# The simulated line: its script parser, and its behaviour through the Win32
# operations on the port `sim`. The behaviour tests put their own process on
# the virtual clock before main, so minutes of line time take milliseconds and
# every tick is exact, however the binary is started.
add_executable(test_sim_script test_sim_script.cpp)
target_link_libraries(test_sim_script PRIVATE cabletest_platform GTest::gtest_main)
gtest_discover_tests(test_sim_script PROPERTIES TIMEOUT 30)

add_executable(test_sim test_sim.cpp)
target_link_libraries(test_sim PRIVATE cabletest_platform cabletest_test_support GTest::gtest_main)
gtest_discover_tests(test_sim PROPERTIES TIMEOUT 60)
