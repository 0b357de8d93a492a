// The two RPC interfaces between the agent and the sync host, as tables for the RPC runtime.
// Shared by the agent (server of the agent interface, client of the callback interface) and
// nxhost (the other way round), so both sides marshal from the same description.
//
// Agent interface ef5f4cf7-3a43-4410-ab61-cbf701f14135 v1.0 on "\pipe\MapiServer64".
// Parameters after the binding handle, by index in the call's Args:
//   0  Shutdown          -
//   1  MAPILogOn         0 [in] wchar profile character, 1 [out] long result
//   2  MAPILogOff        -
//   3  GetAppProfile     0 [in, string] profiles text, 1 [out] long result
//   4  GetContactCount   0 [out] long count, 1 [out] long result
//   5  GetCalendarCount  0 [out] long count, 1 [out] long result
//   6  GetAppFolder      0 [in] wchar folders character, 1 [out] long result
//   7  GetContactFolder  0 [in, out, size_is(3000)] wchar buffer, 1 [out] long result
//   8  GetCalendarFolder 0 [in] wchar, 1 [out] long result
//   9  NoOperation       0 [in] wchar, 1 [out] long result
//  10  SetContactFolder  0 [in, string] folder text, 1 [out] long result
//  11  SetCalendarFolder 0 [in, string] folder text, 1 [out] long result
//  12  WriteContacts     0 [in, string] contact XML, 1 [out, string, size_is(400)] identifier,
//                        2 [out, string, size_is(40)] time text, 3 [out] long result
//  13  WriteCalendars    as 12, with an appointment XML
//  14  ReadContacts      0 [in, string] first text, 1 [in, string] change anchor, 2 [out] long result
//  15  ReadCalendars     as 14
//  16  BindCallback      -
//
// Callback interface 887e407b-88c9-4e15-9435-27481418cd5b v1.0 on "\pipe\OutlookServer32":
//   0  NotifyShutdown    -
//   1  DeliverContact    0 [in, string] one contact document
//   2  DeliverCalendar   0 [in, string] one appointment document
#pragma once

#include <cstdint>

#include "platform/rpc/Rpc.h"

namespace nx::agent {

inline constexpr const char* kProtseq = "ncacn_np";
inline constexpr const char* kAgentEndpoint = "\\pipe\\MapiServer64";
inline constexpr const char* kCallbackEndpoint = "\\pipe\\OutlookServer32";
inline constexpr unsigned kMaxCalls = 1234;
inline constexpr unsigned kMinCallThreads = 1;

inline constexpr uint32_t kFolderBufferUnits = 3000;
inline constexpr uint32_t kIdentifierUnits = 400;
inline constexpr uint32_t kTimeTextUnits = 40;

enum AgentProc : uint16_t {
    kShutdown = 0,
    kMAPILogOn = 1,
    kMAPILogOff = 2,
    kGetAppProfile = 3,
    kGetContactCount = 4,
    kGetCalendarCount = 5,
    kGetAppFolder = 6,
    kGetContactFolder = 7,
    kGetCalendarFolder = 8,
    kNoOperation = 9,
    kSetContactFolder = 10,
    kSetCalendarFolder = 11,
    kWriteContacts = 12,
    kWriteCalendars = 13,
    kReadContacts = 14,
    kReadCalendars = 15,
    kBindCallback = 16,
    kAgentProcCount = 17,
};

enum CallbackProc : uint16_t {
    kNotifyShutdown = 0,
    kDeliverContact = 1,
    kDeliverCalendar = 2,
    kCallbackProcCount = 3,
};

const nx::rpc::Interface& AgentInterface();
const nx::rpc::Interface& CallbackInterface();

}  // namespace nx::agent
