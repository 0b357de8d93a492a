// The MAPI ABI in one include: types, HRESULT codes, property tags, structures and flags,
// interfaces, the 10 entry points and the RAII owners.
#pragma once

#include "platform/mapi/MapiCodes.h"
#include "platform/mapi/MapiDefs.h"
#include "platform/mapi/MapiEntryPoints.h"
#include "platform/mapi/MapiInterfaces.h"
#include "platform/mapi/MapiPtr.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiTypes.h"
