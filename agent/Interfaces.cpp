#include "agent/Interfaces.h"

namespace nx::agent {
namespace {

using nx::rpc::Direction;
using nx::rpc::Param;
using nx::rpc::Procedure;
using nx::rpc::Shape;

const Param kWCharIn{Shape::WChar, Direction::In, 0};
const Param kStringIn{Shape::String, Direction::In, 0};
const Param kLongOut{Shape::Long, Direction::Out, 0};
const Param kFolderBuffer{Shape::FixedArray, Direction::InOut, kFolderBufferUnits};
const Param kIdentifierOut{Shape::SizedOutString, Direction::Out, kIdentifierUnits};
const Param kTimeOut{Shape::SizedOutString, Direction::Out, kTimeTextUnits};

nx::rpc::Uuid MustParse(const char* text) {
    nx::rpc::Uuid uuid;
    nx::rpc::Uuid::Parse(text, uuid);
    return uuid;
}

nx::rpc::Interface MakeAgentInterface() {
    nx::rpc::Interface i;
    i.name = "agent";
    i.uuid = MustParse("ef5f4cf7-3a43-4410-ab61-cbf701f14135");
    i.versionMajor = 1;
    i.versionMinor = 0;
    i.procedures = {
        Procedure{"Shutdown", {}},
        Procedure{"MAPILogOn", {kWCharIn, kLongOut}},
        Procedure{"MAPILogOff", {}},
        Procedure{"GetAppProfile", {kStringIn, kLongOut}},
        Procedure{"GetContactCount", {kLongOut, kLongOut}},
        Procedure{"GetCalendarCount", {kLongOut, kLongOut}},
        Procedure{"GetAppFolder", {kWCharIn, kLongOut}},
        Procedure{"GetContactFolder", {kFolderBuffer, kLongOut}},
        Procedure{"GetCalendarFolder", {kWCharIn, kLongOut}},
        Procedure{"NoOperation", {kWCharIn, kLongOut}},
        Procedure{"SetContactFolder", {kStringIn, kLongOut}},
        Procedure{"SetCalendarFolder", {kStringIn, kLongOut}},
        Procedure{"WriteContacts", {kStringIn, kIdentifierOut, kTimeOut, kLongOut}},
        Procedure{"WriteCalendars", {kStringIn, kIdentifierOut, kTimeOut, kLongOut}},
        Procedure{"ReadContacts", {kStringIn, kStringIn, kLongOut}},
        Procedure{"ReadCalendars", {kStringIn, kStringIn, kLongOut}},
        Procedure{"BindCallback", {}},
    };
    return i;
}

nx::rpc::Interface MakeCallbackInterface() {
    nx::rpc::Interface i;
    i.name = "host callback";
    i.uuid = MustParse("887e407b-88c9-4e15-9435-27481418cd5b");
    i.versionMajor = 1;
    i.versionMinor = 0;
    i.procedures = {
        Procedure{"NotifyShutdown", {}},
        Procedure{"DeliverContact", {kStringIn}},
        Procedure{"DeliverCalendar", {kStringIn}},
    };
    return i;
}

}  // namespace

const nx::rpc::Interface& AgentInterface() {
    static const nx::rpc::Interface iface = MakeAgentInterface();
    return iface;
}

const nx::rpc::Interface& CallbackInterface() {
    static const nx::rpc::Interface iface = MakeCallbackInterface();
    return iface;
}

}  // namespace nx::agent
