// The procedures of the agent interface as typed functions, and the types of their parameters.
//
// This list is the one description of the interface: the RPC tables (agent/Interfaces.cpp)
// derive each procedure's parameter shapes from these signatures, and the Linux RPC runtime's
// calls reach them through one adapter (agent/ArgsAdapter.h). A Windows server stub generated
// from the interface description calls the same functions with its own buffers. Nothing here
// depends on an RPC runtime.
//
// A signature maps to the wire as follows, parameters after the binding handle in order:
//   WireChar        [in] wchar_t*: one UTF-16 unit
//   InText          [in, string] wchar_t*: the text up to its first zero unit
//   FolderBuffer    [in, out, size_is(3000)] wchar_t[]: exactly 3000 units both ways
//   OutText<N>      [out, string, size_is(N)] wchar_t*: at most N - 1 units and a terminator
//   int32_t&        [out] long*
//   return int32_t  a last [out] long* (the procedure's result); void: no such parameter
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/mapi/MapiTypes.h"
#include "platform/system/Utf.h"

namespace nx::agent {

// One UTF-16 unit as the platform's RPC stubs hand it over (the project's one wide character
// type: WCHAR, wchar_t on Windows).
using WireChar = WCHAR;
static_assert(sizeof(WireChar) == 2, "the wire carries UTF-16 units");

inline constexpr uint32_t kFolderBufferUnits = 3000;
inline constexpr uint32_t kIdentifierUnits = 400;
inline constexpr uint32_t kTimeTextUnits = 40;

using InText = std::basic_string_view<WireChar>;
using FolderBuffer = std::span<WireChar, kFolderBufferUnits>;

// The same units as char16_t, for the project's UTF conversions.
inline std::u16string_view AsUtf16(std::basic_string_view<WireChar> text) {
    if constexpr (std::is_same_v<WireChar, char16_t>) {
        return text;
    } else {
        return {reinterpret_cast<const char16_t*>(text.data()), text.size()};
    }
}

// An [out, string, size_is(N)] text: a view of the caller's N-unit buffer, which it leaves
// zero-terminated at all times (empty until set).
template <uint32_t N>
class OutText {
    static_assert(N >= 1, "room for the terminator");

public:
    static constexpr uint32_t kUnits = N;

    explicit OutText(WireChar* buffer) : m_buffer(buffer) { m_buffer[0] = 0; }

    // A longer text is cut to N - 1 units; a cut never splits a surrogate pair, so what the
    // host receives is still valid UTF-16.
    void Set(std::u16string_view units) {
        std::size_t count = units.size() < N - 1 ? units.size() : N - 1;
        if (count < units.size() && count > 0 && units[count - 1] >= 0xD800 && units[count - 1] <= 0xDBFF)
            --count;
        for (std::size_t i = 0; i < count; ++i) m_buffer[i] = static_cast<WireChar>(units[i]);
        m_buffer[count] = 0;
    }
    void SetUtf8(std::string_view utf8) { Set(nx::sys::Utf8ToUtf16(utf8)); }
    void Clear() { m_buffer[0] = 0; }

    InText View() const { return InText(m_buffer); }

private:
    WireChar* m_buffer;
};

using IdentifierOut = OutText<kIdentifierUnits>;
using TimeTextOut = OutText<kTimeTextUnits>;

// The agent interface, in opnum order: X(name) for each procedure. Interfaces.h numbers them,
// Interfaces.cpp describes them to the RPC runtime, ServiceHandlers.cpp registers them.
#define NX_AGENT_PROCEDURES(X) \
    X(Shutdown)                \
    X(MAPILogOn)               \
    X(MAPILogOff)              \
    X(GetAppProfile)           \
    X(GetContactCount)         \
    X(GetCalendarCount)        \
    X(GetAppFolder)            \
    X(GetContactFolder)        \
    X(GetCalendarFolder)       \
    X(NoOperation)             \
    X(SetContactFolder)        \
    X(SetCalendarFolder)       \
    X(WriteContacts)           \
    X(WriteCalendars)          \
    X(ReadContacts)            \
    X(ReadCalendars)           \
    X(BindCallback)

// Defined by the handler files: ServiceHandlers.cpp (Shutdown, GetContactFolder,
// GetCalendarFolder, NoOperation, BindCallback), SessionHandlers.cpp (logon, profiles,
// counts, folders), ItemHandlers.cpp (writes and reads). Each never throws out of the call
// and answers every outcome through its results.
void Shutdown();
int32_t MAPILogOn(WireChar profile);
void MAPILogOff();
int32_t GetAppProfile(InText profiles);
int32_t GetContactCount(int32_t& count);
int32_t GetCalendarCount(int32_t& count);
int32_t GetAppFolder(WireChar folders);
int32_t GetContactFolder(FolderBuffer buffer);
int32_t GetCalendarFolder(WireChar unused);
int32_t NoOperation(WireChar unused);
int32_t SetContactFolder(InText folder);
int32_t SetCalendarFolder(InText folder);
int32_t WriteContacts(InText xml, IdentifierOut identifier, TimeTextOut time);
int32_t WriteCalendars(InText xml, IdentifierOut identifier, TimeTextOut time);
int32_t ReadContacts(InText first, InText anchor);
int32_t ReadCalendars(InText first, InText anchor);
void BindCallback();

// The callback interface the host serves, as signatures only (the agent calls them through
// agent/HostCallback.h).
#define NX_CALLBACK_PROCEDURES(X) \
    X(NotifyShutdown)             \
    X(DeliverContact)             \
    X(DeliverCalendar)

namespace callback {
using NotifyShutdown = void();
using DeliverContact = void(InText document);
using DeliverCalendar = void(InText document);
}  // namespace callback

}  // namespace nx::agent
