// The manager functions of the agent interface (NxAgent.idl) on Windows: the widl-generated
// server stubs unmarshal each call with the system runtime and call these, which hand the
// caller's buffers straight to the typed procedures of agent/Procedures.h, the same functions the
// Linux runtime reaches through agent/ArgsAdapter.h.
//
// The prototypes are the generated header's (Stubs.cpp checks them against it); this file
// cannot include that header, whose windows.h types collide with the MAPI ABI's.
#include <cstdint>

#include "agent/Procedures.h"

namespace {

using nx::agent::WireChar;
using Handle = void*;   // handle_t
using WChar = wchar_t;  // the IDL's wchar_t
using Long = long;      // the IDL's long: 32 bits on Windows
static_assert(sizeof(WChar) == sizeof(WireChar) && sizeof(Long) == sizeof(int32_t));

nx::agent::InText Text(const WChar* text) {
    return nx::agent::InText(reinterpret_cast<const WireChar*>(text));
}

WireChar Char(const WChar* c) {
    return static_cast<WireChar>(*c);
}

WireChar* Units(WChar* buffer) {
    return reinterpret_cast<WireChar*>(buffer);
}

}  // namespace

extern "C" {

void Shutdown(Handle) {
    nx::agent::Shutdown();
}

void MAPILogOn(Handle, WChar* profile, Long* result) {
    *result = nx::agent::MAPILogOn(Char(profile));
}

void MAPILogOff(Handle) {
    nx::agent::MAPILogOff();
}

void GetAppProfile(Handle, WChar* profiles, Long* result) {
    *result = nx::agent::GetAppProfile(Text(profiles));
}

void GetContactCount(Handle, Long* count, Long* result) {
    int32_t n = 0;
    *result = nx::agent::GetContactCount(n);
    *count = n;
}

void GetCalendarCount(Handle, Long* count, Long* result) {
    int32_t n = 0;
    *result = nx::agent::GetCalendarCount(n);
    *count = n;
}

void GetAppFolder(Handle, WChar* folders, Long* result) {
    *result = nx::agent::GetAppFolder(Char(folders));
}

void GetContactFolder(Handle, WChar* buffer, Long* result) {
    *result =
        nx::agent::GetContactFolder(nx::agent::FolderBuffer(Units(buffer), nx::agent::kFolderBufferUnits));
}

void GetCalendarFolder(Handle, WChar* unused, Long* result) {
    *result = nx::agent::GetCalendarFolder(Char(unused));
}

void NoOperation(Handle, WChar* unused, Long* result) {
    *result = nx::agent::NoOperation(Char(unused));
}

void SetContactFolder(Handle, WChar* folder, Long* result) {
    *result = nx::agent::SetContactFolder(Text(folder));
}

void SetCalendarFolder(Handle, WChar* folder, Long* result) {
    *result = nx::agent::SetCalendarFolder(Text(folder));
}

void WriteContacts(Handle, WChar* xml, WChar* identifier, WChar* time, Long* result) {
    *result = nx::agent::WriteContacts(Text(xml), nx::agent::IdentifierOut(Units(identifier)),
                                       nx::agent::TimeTextOut(Units(time)));
}

void WriteCalendars(Handle, WChar* xml, WChar* identifier, WChar* time, Long* result) {
    *result = nx::agent::WriteCalendars(Text(xml), nx::agent::IdentifierOut(Units(identifier)),
                                        nx::agent::TimeTextOut(Units(time)));
}

void ReadContacts(Handle, WChar* first, WChar* anchor, Long* result) {
    *result = nx::agent::ReadContacts(Text(first), Text(anchor));
}

void ReadCalendars(Handle, WChar* first, WChar* anchor, Long* result) {
    *result = nx::agent::ReadCalendars(Text(first), Text(anchor));
}

void BindCallback(Handle) {
    nx::agent::BindCallback();
}

}  // extern "C"
