# The POSIX layer's core: handles, events, waits, threads and both clocks.
add_executable(test_layer_real test_layer_real.cpp)
target_link_libraries(test_layer_real PRIVATE cabletest_platform GTest::gtest_main)
gtest_discover_tests(test_layer_real
  PROPERTIES TIMEOUT 60 ENVIRONMENT "CABLETEST_CLOCK=real;CABLETEST_DEVICE_DIR=/nonexistent-cabletest-devices")

add_executable(test_layer_virtual test_layer_virtual.cpp)
target_link_libraries(test_layer_virtual PRIVATE cabletest_platform GTest::gtest_main)
gtest_discover_tests(test_layer_virtual
  PROPERTIES TIMEOUT 60 ENVIRONMENT "CABLETEST_CLOCK=virtual;CABLETEST_DEVICE_DIR=/nonexistent-cabletest-devices")
