// Handlers of the item procedures of the agent interface: 12 WriteContacts, 13 WriteCalendars,
// 14 ReadContacts, 15 ReadCalendars.
//
// Typed procedures of agent/Procedures.h. Writes return the item's identifier text (at most 399
// UTF-16 units) and its modification time text (at most 39), each whole or empty, and their
// result (agent/HandlerSupport.h: RunItemWrite). A write that fails reports it through the empty
// identifier, not the result: result 1 only when the write stopped on an error (the document
// object could not be made). Reads push every item to the host through DeliverContact /
// DeliverCalendar (agent/HostCallback.h) from the thread of the read call and then return their
// result. Handlers never throw; with the MAPI entry-point table incomplete no MAPI is called:
// reads answer 1, the contact write answers 0 with the empty identifier (nothing could be
// written), the appointment write 1 with empty texts.
#pragma once

#include "agent/Procedures.h"

namespace nx::agent {}  // namespace nx::agent
