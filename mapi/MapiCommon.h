// The MAPI ABI and the common layer's time-zone types in one translation unit.
//
// platform/mapi/MapiTypes.h declares the Windows SYSTEMTIME and FILETIME structures, and
// common/DateTime.h declares the same layouts unless _SYSTEMTIME_ / _FILETIME_ say they already
// exist. Including the MAPI ABI first and raising those two guards lets one file use both: the
// common layer then sees MAPI's structures, which have the same fields, sizes and order. Every
// file of this folder that needs both includes this header rather than the two in either order.
#pragma once

#include "platform/mapi/Mapi.h"

#ifndef _FILETIME_
#define _FILETIME_
#endif
#ifndef _SYSTEMTIME_
#define _SYSTEMTIME_
#endif

#include "common/TimeZone.h"

static_assert(sizeof(SYSTEMTIME) == 16, "SYSTEMTIME layout");
static_assert(sizeof(FILETIME) == 8, "FILETIME layout");
