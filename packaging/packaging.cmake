# Installation and packages: what `cmake --install` puts where, the Debian
# package (`cpack -G DEB`) and the Windows zip (`cpack -G ZIP` in the Windows
# build), and the checks of the manual page and the bash completion.
#
# On POSIX the layout is GNUInstallDirs': bin/cabletest, the manual page, the
# bash completion, and README.md and the licence (in Debian's copyright
# format) under share/doc/cabletest. On Windows everything lies side by side
# in one folder, as a Windows user unpacks it: cabletest.exe, README.txt and
# LICENSE.txt, with Windows line ends.
include(GNUInstallDirs)

set(CABLETEST_PACKAGE_CONTACT "the cabletest authors <cabletest@example.org>" CACHE STRING
  "Maintainer of the packages, \"name <address>\"")

set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE cabletest_license)
set(cabletest_generated ${PROJECT_BINARY_DIR}/packaging)

if(WIN32)
  install(TARGETS cabletest RUNTIME DESTINATION .)
  # Notepad of older Windows shows a file with bare line feeds as one line.
  file(READ ${PROJECT_SOURCE_DIR}/README.md cabletest_readme)
  foreach(name README LICENSE)
    string(TOLOWER ${name} lower)
    string(REPLACE "\n" "\r\n" text "${cabletest_${lower}}")
    file(WRITE ${cabletest_generated}/${name}.txt "${text}")
    install(FILES ${cabletest_generated}/${name}.txt DESTINATION .)
  endforeach()
else()
  install(TARGETS cabletest RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  configure_file(${PROJECT_SOURCE_DIR}/doc/cabletest.1.in ${cabletest_generated}/cabletest.1 @ONLY)
  install(FILES ${cabletest_generated}/cabletest.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/cabletest.bash
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME cabletest)

  # The licence in Debian's machine-readable copyright format, made from
  # LICENSE so that the two cannot differ: its text as the licence
  # paragraph's body, one space in, and a "." for each empty line.
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" unused "${cabletest_license}")
  set(holder "${CMAKE_MATCH_1}")
  string(FIND "${cabletest_license}" "Permission is hereby granted" start)
  string(SUBSTRING "${cabletest_license}" ${start} -1 body)
  string(STRIP "${body}" body)
  string(REPLACE "\n\n" "\n.\n" body "${body}")
  string(REPLACE "\n" "\n " body "${body}")
  file(WRITE ${cabletest_generated}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: cabletest
Upstream-Contact: ${CABLETEST_PACKAGE_CONTACT}

Files: *
Copyright: ${holder}
License: Expat
 ${body}
")
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${cabletest_generated}/copyright
    DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # Debian wants a changelog in every package; deb-stage.cmake puts it in.
  string(TIMESTAMP changelogDate "%a, %d %b %Y %H:%M:%S +0000" UTC)
  file(WRITE ${cabletest_generated}/changelog
"cabletest (${PROJECT_VERSION}) unstable; urgency=medium

  * Release ${PROJECT_VERSION}; README.md tells what the program does.

 -- ${CABLETEST_PACKAGE_CONTACT}  ${changelogDate}
")
endif()

set(CPACK_PACKAGE_NAME cabletest)
set(CPACK_PACKAGE_VENDOR "the cabletest authors")
set(CPACK_PACKAGE_CONTACT "${CABLETEST_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "test a magnetic-switch cable on a serial port")
set(CPACK_PACKAGE_DESCRIPTION
"cabletest listens to a serial port to which a magnetic-switch cable is
connected. It reports each carriage that passes the switch, from the burst
of bytes that the carriage sends, and whenever the line is quiet it pulses
DTR, samples DSR and reports each change of the cable's presence.

A built-in simulated line, played from a script, lets the program be
tried and tested without hardware.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
endif()
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/[.]git$" "/build[^/]*/" "/fuzz/corpus-work/")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(NOT WIN32)
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/deb-stage.cmake)
  set(CPACK_CABLETEST_CHANGELOG ${cabletest_generated}/changelog)
endif()
include(CPack)

if(CABLETEST_BUILD_TESTS AND NOT WIN32)
  add_test(NAME manpage.lint
    COMMAND bash ${PROJECT_SOURCE_DIR}/packaging/check-manpage.sh
            ${cabletest_generated}/cabletest.1 ${PROJECT_SOURCE_DIR})
  set_tests_properties(manpage.lint PROPERTIES TIMEOUT 60 SKIP_RETURN_CODE 77)
  add_test(NAME completion.bash
    COMMAND bash ${PROJECT_SOURCE_DIR}/packaging/check-completion.sh
            ${PROJECT_SOURCE_DIR}/packaging/cabletest.bash $<TARGET_FILE:cabletest>)
  set_tests_properties(completion.bash PROPERTIES TIMEOUT 60)
endif()
