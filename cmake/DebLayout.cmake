# CPack's pre-build script for the Debian package (cmake/NxPackaging.cmake): run on the staged
# tree, after the install rules and before the package is packed. It adds what only a Debian
# package has:
#   - PIMProfile.ini moves to /etc/nxagentforoutlook64 and is a configuration file (conffiles),
#     so dpkg keeps a person's changes across upgrades; the agent still reads it beside itself,
#     through a link in its folder;
#   - the copyright file and the changelog in /usr/share/doc/nxagentforoutlook64.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
if(NOT IS_DIRECTORY "${CPACK_TEMPORARY_DIRECTORY}/usr")
  message(FATAL_ERROR "DebLayout: no staged tree in '${CPACK_TEMPORARY_DIRECTORY}'")
endif()
set(root "${CPACK_TEMPORARY_DIRECTORY}")
set(etc "${root}/etc/${CPACK_NX_PACKAGE_NAME}")
set(agent "${root}/usr/${CPACK_NX_AGENTDIR}")

file(MAKE_DIRECTORY "${etc}")
file(RENAME "${agent}/PIMProfile.ini" "${etc}/PIMProfile.ini")
file(CREATE_LINK "/etc/${CPACK_NX_PACKAGE_NAME}/PIMProfile.ini" "${agent}/PIMProfile.ini" SYMBOLIC)

set(doc "${root}/usr/${CPACK_NX_DOCDIR}")
file(COPY_FILE "${CPACK_NX_SOURCE_DIR}/cmake/debian/copyright" "${doc}/copyright")
# The changelog's date is the packing's (SOURCE_DATE_EPOCH when it is set).
string(TIMESTAMP NX_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(NX_PACKAGE_NAME "${CPACK_NX_PACKAGE_NAME}")
set(PROJECT_VERSION "${CPACK_PACKAGE_VERSION}")
configure_file("${CPACK_NX_SOURCE_DIR}/cmake/debian/changelog.in" "${doc}/changelog" @ONLY)
execute_process(COMMAND gzip -9nf "${doc}/changelog" RESULT_VARIABLE gzipped)
if(NOT gzipped EQUAL 0)
  message(FATAL_ERROR "DebLayout: gzip of the changelog failed (${gzipped})")
endif()
