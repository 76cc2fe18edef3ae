# Robustness: the fuzz targets' inputs replayed through their property checks, and the real binary
# under faults and bad input. Each case is bounded by its TIMEOUT (the harness kills late children).

set(fuzz ${PROJECT_SOURCE_DIR}/fuzz)
add_executable(test_robust_fuzz_replay ${CMAKE_CURRENT_LIST_DIR}/test_robust_fuzz_replay.cpp
  ${fuzz}/fuzz_keydecode.cpp ${fuzz}/fuzz_sim_script.cpp ${fuzz}/fuzz_portname.cpp)
set(entry COMPILE_DEFINITIONS CABLETEST_FUZZ_ENTRY)
set_source_files_properties(${fuzz}/fuzz_keydecode.cpp PROPERTIES ${entry}=FuzzKeyDecode)
set_source_files_properties(${fuzz}/fuzz_sim_script.cpp PROPERTIES ${entry}=FuzzSimScript)
set_source_files_properties(${fuzz}/fuzz_portname.cpp PROPERTIES ${entry}=FuzzPortName)
target_include_directories(test_robust_fuzz_replay PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(test_robust_fuzz_replay PRIVATE
  "CABLETEST_FUZZ_CORPUS=\"${fuzz}/corpus\""
  "CABLETEST_FUZZ_REGRESSIONS=\"${CMAKE_CURRENT_LIST_DIR}/fuzz_regressions\"")
target_link_libraries(test_robust_fuzz_replay PRIVATE cabletest_platform cabletest_console
  GTest::gtest_main)
gtest_discover_tests(test_robust_fuzz_replay PROPERTIES TIMEOUT 60)

# Each case runs in a process of its own: the CPU time of its reaped children is its program's.
foreach(name test_robust_faults test_robust_flood test_robust_signals)
  add_executable(${name} ${CMAKE_CURRENT_LIST_DIR}/${name}.cpp)
  target_link_libraries(${name} PRIVATE cabletest_test_support GTest::gtest_main)
  add_dependencies(${name} cabletest)
  gtest_discover_tests(${name} PROPERTIES TIMEOUT 120)
endforeach()
