// The two RPC interfaces between the agent and the sync host, as tables for the RPC runtime.
// Shared by the agent (server of the agent interface, client of the callback interface) and
// nxhost (the other way round), so both sides marshal from the same description.
//
// Agent interface ef5f4cf7-3a43-4410-ab61-cbf701f14135 v1.0 on "\pipe\MapiServer64": the
// procedures of agent/Procedures.h, opnum = their place in NX_AGENT_PROCEDURES (0 Shutdown ...
// 12 WriteContacts, 13 WriteCalendars, 14 ReadContacts, 15 ReadCalendars, 16 BindCallback), each
// procedure's parameters derived from its typed signature there.
//
// Callback interface 887e407b-88c9-4e15-9435-27481418cd5b v1.0 on "\pipe\OutlookServer32":
//   0  NotifyShutdown    -
//   1  DeliverContact    [in, string] one contact document
//   2  DeliverCalendar   [in, string] one appointment document
#pragma once

#include <cstdint>

#include "agent/Procedures.h"
#include "platform/rpc/Rpc.h"

namespace nx::agent {

inline constexpr const char* kProtseq = "ncacn_np";
inline constexpr const char* kAgentEndpoint = "\\pipe\\MapiServer64";
inline constexpr const char* kCallbackEndpoint = "\\pipe\\OutlookServer32";
inline constexpr unsigned kMaxCalls = 1234;
inline constexpr unsigned kMinCallThreads = 1;

// Opnums, in the order of the lists in agent/Procedures.h.
#define NX_OPNUM(name) k##name,
enum AgentProc : uint16_t { NX_AGENT_PROCEDURES(NX_OPNUM) kAgentProcCount };
enum CallbackProc : uint16_t { NX_CALLBACK_PROCEDURES(NX_OPNUM) kCallbackProcCount };
#undef NX_OPNUM
static_assert(kAgentProcCount == 17 && kCallbackProcCount == 3);

const nx::rpc::Interface& AgentInterface();
const nx::rpc::Interface& CallbackInterface();

}  // namespace nx::agent
