// Handlers of the item procedures of the agent interface: 12 WriteContacts, 13 WriteCalendars,
// 14 ReadContacts, 15 ReadCalendars.
//
// Typed procedures of agent/Procedures.h. Writes return the item's identifier text (at most 399
// UTF-16 units) and its modification time text (at most 39), and their result; reads push every item to the
// host through DeliverContact / DeliverCalendar (agent/HostCallback.h) from the thread of the read call and
// then return their result. Handlers never throw; with the MAPI entry-point table incomplete
// each answers its failure value (result 1, empty texts) without calling MAPI.
#pragma once

#include "agent/Procedures.h"

namespace nx::agent {}  // namespace nx::agent
