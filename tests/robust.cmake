# Robustness: the fuzz targets' inputs replayed through their property checks,
# and the real binary under faults and bad input (a device pulled out, floods,
# line errors in numbers, odd port names, signals, a closed or full standard
# output). Every case is bounded by its TIMEOUT; the harness kills a child
# that outlives its deadline.

add_executable(test_robust_fuzz_replay ${CMAKE_CURRENT_LIST_DIR}/test_robust_fuzz_replay.cpp
  ${PROJECT_SOURCE_DIR}/fuzz/fuzz_keydecode.cpp
  ${PROJECT_SOURCE_DIR}/fuzz/fuzz_sim_script.cpp
  ${PROJECT_SOURCE_DIR}/fuzz/fuzz_portname.cpp)
set_source_files_properties(${PROJECT_SOURCE_DIR}/fuzz/fuzz_keydecode.cpp
  PROPERTIES COMPILE_DEFINITIONS CABLETEST_FUZZ_ENTRY=FuzzKeyDecode)
set_source_files_properties(${PROJECT_SOURCE_DIR}/fuzz/fuzz_sim_script.cpp
  PROPERTIES COMPILE_DEFINITIONS CABLETEST_FUZZ_ENTRY=FuzzSimScript)
set_source_files_properties(${PROJECT_SOURCE_DIR}/fuzz/fuzz_portname.cpp
  PROPERTIES COMPILE_DEFINITIONS CABLETEST_FUZZ_ENTRY=FuzzPortName)
target_include_directories(test_robust_fuzz_replay PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(test_robust_fuzz_replay PRIVATE
  "CABLETEST_FUZZ_CORPUS=\"${PROJECT_SOURCE_DIR}/fuzz/corpus\""
  "CABLETEST_FUZZ_REGRESSIONS=\"${CMAKE_CURRENT_LIST_DIR}/fuzz_regressions\"")
target_link_libraries(test_robust_fuzz_replay PRIVATE cabletest_platform cabletest_console
  GTest::gtest_main)
gtest_discover_tests(test_robust_fuzz_replay PROPERTIES TIMEOUT 60)

# The real binary. Each case runs in a test process of its own, so the CPU
# time of the children it has reaped is that of the one program it ran.
foreach(name test_robust_faults test_robust_flood test_robust_signals)
  add_executable(${name} ${CMAKE_CURRENT_LIST_DIR}/${name}.cpp)
  target_link_libraries(${name} PRIVATE cabletest_test_support GTest::gtest_main)
  add_dependencies(${name} cabletest)
  gtest_discover_tests(${name} PROPERTIES TIMEOUT 120)
endforeach()
