# What `cmake --install` puts where, on both systems; included by the top CMakeLists.txt (and by
# cmake/Windows.cmake) once every target exists. The packages (cmake/NxPackaging.cmake) are made
# from the same rules.
#
# The agent loads its libraries from its own folder first, as on Windows: the journal through
# the run path $ORIGIN, the MAPI runtime by name (common/MapiFunctions.h). So the agent, the
# journal library, the MAPI runtime and PIMProfile.ini (which the agent reads beside itself)
# always share one folder, and nothing installed names a path outside the installed tree: the
# tree works wherever it is copied or moved.
#
#   Linux (GNUInstallDirs), PREFIX/...                Windows (the ZIP), one folder
#   libexec/nxagentforoutlook64/NxAgentOutlook64      NxAgentOutlook64.exe
#     libDeltatrack64.so libmapi32.so PIMProfile.ini    Deltatrack64.dll PIMProfile.ini nxhost.exe
#   bin/nxhost bin/mapiadmin bin/deltatrack           mapi-standin/MAPI32.dll mapiadmin.exe
#   share/nxagentforoutlook64/sessions/ idl/          sessions/ idl/
#   share/doc/nxagentforoutlook64/ (README, docs)     docs/ (README, docs, third-party licences)
#
# On Linux the MAPI runtime is the store itself, so it sits beside the agent; mapiadmin finds it
# there through its run path. On Windows the agent uses the system's MAPI32.dll: the stand-in
# runtime and mapiadmin go to a folder of their own (a copy of the agent beside them runs a
# host against a stand-in store, as the Windows tests do; docs/hosts.md).
include(GNUInstallDirs)

set(NX_PACKAGE_NAME nxagentforoutlook64)
if(WIN32)
  set(NX_INSTALL_AGENTDIR .)
  set(NX_INSTALL_TOOLDIR .)
  set(NX_INSTALL_STANDINDIR mapi-standin)
  set(NX_INSTALL_SESSIONDIR sessions)
  set(NX_INSTALL_IDLDIR idl)
  set(NX_INSTALL_DOCDIR docs)
else()
  set(NX_INSTALL_AGENTDIR ${CMAKE_INSTALL_LIBEXECDIR}/${NX_PACKAGE_NAME})
  set(NX_INSTALL_TOOLDIR ${CMAKE_INSTALL_BINDIR})
  set(NX_INSTALL_STANDINDIR ${NX_INSTALL_TOOLDIR})
  set(NX_INSTALL_SESSIONDIR ${CMAKE_INSTALL_DATADIR}/${NX_PACKAGE_NAME}/sessions)
  set(NX_INSTALL_IDLDIR ${CMAKE_INSTALL_DATADIR}/${NX_PACKAGE_NAME}/idl)
  set(NX_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${NX_PACKAGE_NAME})
endif()

# Shared libraries are read, not run (0644, as Debian wants them).
set(NX_LIBRARY_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
# An import library (.dll.a) is for linking against the DLL: never part of the installation.
set(NX_NO_ARCHIVE ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT devel EXCLUDE_FROM_ALL)

# ---- the agent's folder ---------------------------------------------------------------------
set_target_properties(NxAgentOutlook64 PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS NxAgentOutlook64 RUNTIME DESTINATION ${NX_INSTALL_AGENTDIR})
install(TARGETS Deltatrack64
  RUNTIME DESTINATION ${NX_INSTALL_AGENTDIR}
  LIBRARY DESTINATION ${NX_INSTALL_AGENTDIR} PERMISSIONS ${NX_LIBRARY_PERMISSIONS}
  ${NX_NO_ARCHIVE})
if(WIN32)
  # Notepad and the system's profile reader both take CR LF.
  configure_file(${CMAKE_SOURCE_DIR}/agent/PIMProfile.ini ${CMAKE_BINARY_DIR}/install/PIMProfile.ini
    NEWLINE_STYLE CRLF @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/install/PIMProfile.ini DESTINATION ${NX_INSTALL_AGENTDIR})
  install(TARGETS mapi32 RUNTIME DESTINATION ${NX_INSTALL_STANDINDIR} ${NX_NO_ARCHIVE})
else()
  install(FILES ${CMAKE_SOURCE_DIR}/agent/PIMProfile.ini DESTINATION ${NX_INSTALL_AGENTDIR})
  install(TARGETS mapi32 LIBRARY DESTINATION ${NX_INSTALL_AGENTDIR} PERMISSIONS ${NX_LIBRARY_PERMISSIONS})
endif()

# ---- the tools ------------------------------------------------------------------------------
install(TARGETS nxhost RUNTIME DESTINATION ${NX_INSTALL_TOOLDIR})
if(NOT WIN32)
  # mapiadmin opens the MAPI runtime from its own folder first, then by name, which searches its
  # run path: the agent's folder, relative to the tool.
  file(RELATIVE_PATH nx_tool_to_agent /${NX_INSTALL_STANDINDIR} /${NX_INSTALL_AGENTDIR})
  set_target_properties(mapiadmin PROPERTIES INSTALL_RPATH "$ORIGIN/${nx_tool_to_agent}")
  install(TARGETS deltatrack RUNTIME DESTINATION ${NX_INSTALL_TOOLDIR})
endif()
install(TARGETS mapiadmin RUNTIME DESTINATION ${NX_INSTALL_STANDINDIR})

# ---- the host developer's kit (docs/hosts.md) and the documentation -------------------------
install(DIRECTORY ${CMAKE_SOURCE_DIR}/tools/nxhost/sessions/ DESTINATION ${NX_INSTALL_SESSIONDIR})
install(FILES ${CMAKE_SOURCE_DIR}/agent/win/NxAgent.idl ${CMAKE_SOURCE_DIR}/agent/win/NxHostCallback.idl
  DESTINATION ${NX_INSTALL_IDLDIR})
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${NX_INSTALL_DOCDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION ${NX_INSTALL_DOCDIR} FILES_MATCHING PATTERN "*.md")
if(WIN32)
  # pugixml and SQLite are linked into the Windows programs: their licences travel with them.
  install(FILES ${CMAKE_SOURCE_DIR}/third_party/pugixml/LICENSE.md
    DESTINATION ${NX_INSTALL_DOCDIR}/third-party RENAME pugixml-LICENSE.md)
  install(FILES ${CMAKE_SOURCE_DIR}/third_party/sqlite/LICENSE.md
    DESTINATION ${NX_INSTALL_DOCDIR}/third-party RENAME sqlite-LICENSE.md)
endif()
