# The packages, made by CPack from the install rules (cmake/NxInstall.cmake); scripts/package.sh
# makes both:
#   Linux    nxagentforoutlook64_<version>_<arch>.deb (cpack -G DEB in the release build):
#            installed under /usr, dependencies computed by dpkg-shlibdeps, PIMProfile.ini a
#            configuration file in /etc/nxagentforoutlook64 (cmake/DebLayout.cmake)
#   Windows  NxAgentForOutlook64-<version>-win64.zip (cpack -G ZIP in the cross build): the one
#            folder of cmake/NxInstall.cmake, unpacked anywhere
# Programs and libraries are stripped in both.
set(CPACK_PACKAGE_NAME ${NX_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "The NxAgentForOutlook64 developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "contacts and calendar of a MAPI store for a desktop sync host")
set(CPACK_PACKAGE_DESCRIPTION
  "A 64-bit agent process that gives a desktop synchronisation application (the
sync host) access to the contacts and calendar of a MAPI message store over DCE
RPC on a local pipe. The package holds the agent with its change journal and
its MAPI runtime on SQLite, the host stand-in nxhost with sample session
scripts, the store tool mapiadmin, the journal tool deltatrack and the
documentation, the host developer's kit among it.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_VERBATIM_VARIABLES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "${PROJECT_NAME}-${PROJECT_VERSION}-win64")
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(NX_PACKAGE_MAINTAINER "NxAgentForOutlook64 developers <nxagent@example.org>" CACHE STRING
    "The Maintainer of the .deb (and of its changelog): whoever builds packages to hand out")
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${NX_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION misc)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # What only the Debian package has (the configuration file in /etc, the copyright file and
  # the changelog) is made on the staged tree before it is packed: cmake/DebLayout.cmake.
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/DebLayout.cmake)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/debian/conffiles.in ${CMAKE_BINARY_DIR}/debian/conffiles @ONLY)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/conffiles)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # Read by cmake/DebLayout.cmake (CPack hands every CPACK_ variable to the script).
  set(CPACK_NX_SOURCE_DIR ${CMAKE_SOURCE_DIR})
  set(CPACK_NX_PACKAGE_NAME ${NX_PACKAGE_NAME})
  set(CPACK_NX_AGENTDIR ${NX_INSTALL_AGENTDIR})
  set(CPACK_NX_DOCDIR ${NX_INSTALL_DOCDIR})
endif()
include(CPack)
