// Handlers of the session and folder procedures of the agent interface: 1 MAPILogOn,
// 2 MAPILogOff, 3 GetAppProfile, 4 GetContactCount, 5 GetCalendarCount, 6 GetAppFolder,
// 10 SetContactFolder, 11 SetCalendarFolder.
//
// Each is a typed procedure of agent/Procedures.h: it takes its [in] values, calls the
// process-wide CMAPIObject (mapi/MAPIObject.h) and answers through its result and [out]
// values. Handlers never throw and never fail the RPC call: every outcome is a value. When the MAPI
// entry-point table is incomplete CMAPIObject makes no MAPI call and answers its failure value (logon and
// folder procedures result 1, counts 0 with result 0).
//
//   MAPILogOn        the received UTF-16 unit is the profile name (a zero unit: "", the default
//                    profile); result 0 when logged on, else 1; then the host callback is bound
//                    (BindHostCallback), whatever the logon gave
//   GetAppProfile    result of CMAPIObject::GetAppProfile with the received text
//   GetAppFolder     result of CMAPIObject::GetAppFolder with the received character
//   GetContactCount  count of the selected contacts folder, result 0
//   GetCalendarCount count of the selected calendar folder, result 0
//   Set...Folder     result of CMAPIObject::SetContactFolder / SetCalendarFolder
//
// Each handler holds the MAPI object's lock (LockMAPIObject, through RunLocked) while it uses the
// object: a host makes one call at a time, and the lock keeps one that does not from racing the
// session.
//
// The [in] texts are input-only on the wire: nothing is ever written back into them (the two
// documents reach the host only as the files named by "XMLPath").
#pragma once

#include "agent/Procedures.h"

namespace nx::agent {}  // namespace nx::agent
