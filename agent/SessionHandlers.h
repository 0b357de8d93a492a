// Handlers of the session and folder procedures of the agent interface: 1 MAPILogOn,
// 2 MAPILogOff, 3 GetAppProfile, 4 GetContactCount, 5 GetCalendarCount, 6 GetAppFolder,
// 10 SetContactFolder, 11 SetCalendarFolder.
//
// Each handler reads its [in] values from the call's Args and sets its [out] values (parameter
// indexes in agent/Interfaces.h). Handlers never throw and never fail the RPC call: every
// outcome is a value of the [out] parameters. A procedure that needs MAPI answers its failure
// value (result 1, count 0) whenever the MAPI entry-point table is incomplete, so no call goes
// through an empty entry. MAPILogOn binds the host callback (BindHostCallback) after setting
// its result, whatever the logon gave.
#pragma once

#include "platform/rpc/Rpc.h"

namespace nx::agent {

void HandleMAPILogOn(nx::rpc::Args& args);
void HandleMAPILogOff(nx::rpc::Args& args);
void HandleGetAppProfile(nx::rpc::Args& args);
void HandleGetContactCount(nx::rpc::Args& args);
void HandleGetCalendarCount(nx::rpc::Args& args);
void HandleGetAppFolder(nx::rpc::Args& args);
void HandleSetContactFolder(nx::rpc::Args& args);
void HandleSetCalendarFolder(nx::rpc::Args& args);

}  // namespace nx::agent
