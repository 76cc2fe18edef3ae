# The portable tests (standard C++ over pure functions: the key decoder, the
# rules of the monitoring loop and of start-up) built for Windows and run
# under Wine, with the Windows names of ports and events, and smoke runs of
# the program itself under Wine. On POSIX the portable sources run natively
# from their own topics' fragments, so nothing is added here.
#
# Debian's GoogleTest is built for the host only: the Windows build compiles
# it from its sources, with the target's compiler, into a folder of its own.
if(NOT WIN32)
  return()
endif()

set(CABLETEST_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources, compiled for the target when cross-compiling")
if(NOT TARGET GTest::gtest_main)
  if(NOT EXISTS ${CABLETEST_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "No GoogleTest sources in ${CABLETEST_GTEST_SOURCE_DIR} "
                        "(Debian package googletest)")
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  # The run-times are linked in statically, so GoogleTest must not ask for
  # the DLL form of them.
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  add_subdirectory(${CABLETEST_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # GoogleTest's own code is not held to our warning flags.
  foreach(gtest_target gtest gtest_main)
    target_compile_options(${gtest_target} PRIVATE -w)
  endforeach()
endif()

add_executable(test_portable
  ${CMAKE_CURRENT_SOURCE_DIR}/test_keydecode.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/test_passrule.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/test_platform_names_win32.cpp)
target_link_libraries(test_portable PRIVATE cabletest_console cabletest_serial GTest::gtest_main)
if(NOT MSVC)
  target_link_options(test_portable PRIVATE -static -static-libgcc -static-libstdc++)
endif()

# One run for the whole program: under Wine a test of its own per case would
# make a new prefix for each. When cross-compiling, CMAKE_CROSSCOMPILING_EMULATOR
# (tests/wine/run.sh) runs it in a prefix of its own.
add_test(NAME portable.wine COMMAND test_portable)
set_tests_properties(portable.wine PROPERTIES TIMEOUT 300)

if(CMAKE_CROSSCOMPILING)
  # The program itself under Wine: banner, missing and present ports, the
  # handle line, the prompt on Wine's console.
  add_test(NAME smoke.wine
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/wine/smoke.sh $<TARGET_FILE:cabletest>)
  set_tests_properties(smoke.wine PROPERTIES TIMEOUT 300)
endif()

if(NOT MSVC AND CMAKE_OBJDUMP)
  # No DLL but the system's own: the run-times are linked in.
  add_test(NAME imports.windows
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/wine/imports.sh ${CMAKE_OBJDUMP}
            $<TARGET_FILE:cabletest>)
  set_tests_properties(imports.windows PROPERTIES TIMEOUT 30)
endif()
