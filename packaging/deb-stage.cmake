# Run by CPack between the install into its staging folder and the making of
# the package: gives the Debian package what Debian's policy asks of it and
# the plain install does not have, manual pages compressed (gzip -9n, so that
# the same input makes the same package) and a changelog.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

set(doc "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share/doc/cabletest")
file(COPY_FILE "${CPACK_CABLETEST_CHANGELOG}" "${doc}/changelog")
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/man/man*/*.[1-9]")
foreach(file IN LISTS pages ITEMS "${doc}/changelog")
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "gzip -9n ${file} failed: ${result}")
  endif()
endforeach()
