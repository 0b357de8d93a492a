// The process-wide MAPI entry-point table: the 10 functions of the MAPI runtime library that
// every MAPI-using part of the agent calls through.
//
// Start-up opens the runtime with LoadMapiLibrary and binds the table with LoadMapiFunctions,
// in the table order MAPIInitialize, MAPIUninitialize, MAPILogonEx, MAPIAllocateBuffer,
// MAPIAllocateMore, MAPIFreeBuffer, MAPIAdminProfiles, HrGetOneProp, FreeProws, HrQueryAllRows.
// On Windows the last three are looked up by export ordinal (135, 140, 75); a Linux shared
// object has no ordinals, so all ten are looked up by their export names
// (platform/mapi/MapiEntryPoints.h holds both lists).
//
// Binding stops at the first missing entry, leaving the table incomplete. Callers ask
// MapiFunctionsComplete() before any MAPI work and answer their failure value when it is
// false, so no call ever goes through an empty entry. The table is written only during
// start-up, on the main thread, before the server listens; afterwards it is only read.
#pragma once

#include <string>
#include <string_view>

#include "platform/mapi/MapiEntryPoints.h"

// The runtime's file name: "MAPI32.dll" on Windows, "libmapi32.so", its stand-in, on Linux.
inline constexpr const char* kMapiLibraryName = kMapiRuntimeFileName;

// The bound table (every entry null until LoadMapiFunctions found it).
const MapiFunctions& MapiTable();

// Opens the runtime: first "<executableFolder>/libmapi32.so", then "libmapi32.so" through the
// library search path. True when one of them opened; the module stays open for the process.
bool LoadMapiLibrary(std::string_view executableFolder);

// True while a runtime module is open.
bool MapiLibraryLoaded();

// Binds the 10 entries from the open module, in table order. Sends the debugger-output texts
// "#### Load dovlib32.dll function enter ####" first and "#### Load dovlib32.dll function
// return TRUE ####" when all ten were found. False (and the table incomplete) at the first
// entry not found, or when no module is open.
bool LoadMapiFunctions();

// True when all 10 entries are bound.
bool MapiFunctionsComplete();

// Tests: forgets the table and closes the module.
void ResetMapiFunctionsForTesting();
