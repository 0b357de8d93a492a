// Structures, flags and GUIDs of the MAPI ABI: property values and their union, tag arrays,
// rows and row sets, restrictions, sort orders, entry lists, named-property names, the
// initialisation block, entry ids, and every flag the agent and its tools pass. Written from the
// public MAPI reference and [MS-OXCDATA]; the layouts are those of 64-bit Windows.
#pragma once

#include "platform/mapi/MapiCodes.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiTypes.h"

// ---- Binary values, entry ids, UIDs ----
struct SBinary {
    ULONG cb;
    LPBYTE lpb;
};
using LPSBinary = SBinary*;

struct SBinaryArray {
    ULONG cValues;
    SBinary* lpbin;
};
using ENTRYLIST = SBinaryArray;
using LPENTRYLIST = SBinaryArray*;

// An entry id: four flag bytes (abFlags[0] carries MAPI_SHORTTERM, MAPI_NOTRECIP, ...) and the
// provider's own bytes.
struct ENTRYID {
    BYTE abFlags[4];
    BYTE ab[MAPI_DIM];
};
using LPENTRYID = ENTRYID*;
#define CbNewENTRYID(cb) (offsetof(ENTRYID, ab) + (cb))

#define MAPI_SHORTTERM 0x80
#define MAPI_NOTRECIP 0x40
#define MAPI_THISSESSION 0x20
#define MAPI_NOW 0x10
#define MAPI_NOTRESERVED 0x08

struct MAPIUID {
    BYTE ab[16];
};
using LPMAPIUID = MAPIUID*;

// ---- Multi-valued arrays ----
struct SShortArray {
    ULONG cValues;
    short* lpi;
};
struct SLongArray {
    ULONG cValues;
    LONG* lpl;
};
struct SRealArray {
    ULONG cValues;
    float* lpflt;
};
struct SDoubleArray {
    ULONG cValues;
    double* lpdbl;
};
struct SCurrencyArray {
    ULONG cValues;
    CURRENCY* lpcur;
};
struct SAppTimeArray {
    ULONG cValues;
    double* lpat;
};
struct SDateTimeArray {
    ULONG cValues;
    FILETIME* lpft;
};
struct SLPSTRArray {
    ULONG cValues;
    LPSTR* lppszA;
};
struct SWStringArray {
    ULONG cValues;
    LPWSTR* lppszW;
};
struct SGuidArray {
    ULONG cValues;
    GUID* lpguid;
};
struct SLargeIntegerArray {
    ULONG cValues;
    LARGE_INTEGER* lpli;
};

// ---- Property values ----
union PV {
    short i;                  // PT_I2
    LONG l;                   // PT_LONG
    ULONG ul;                 // PT_LONG read unsigned
    float flt;                // PT_R4
    double dbl;               // PT_DOUBLE
    unsigned short b;         // PT_BOOLEAN
    CURRENCY cur;             // PT_CURRENCY
    double at;                // PT_APPTIME
    FILETIME ft;              // PT_SYSTIME
    LPSTR lpszA;              // PT_STRING8
    SBinary bin;              // PT_BINARY
    LPWSTR lpszW;             // PT_UNICODE
    LPGUID lpguid;            // PT_CLSID
    LARGE_INTEGER li;         // PT_I8
    SShortArray MVi;          // PT_MV_I2
    SLongArray MVl;           // PT_MV_LONG
    SRealArray MVflt;         // PT_MV_R4
    SDoubleArray MVdbl;       // PT_MV_DOUBLE
    SCurrencyArray MVcur;     // PT_MV_CURRENCY
    SAppTimeArray MVat;       // PT_MV_APPTIME
    SDateTimeArray MVft;      // PT_MV_SYSTIME
    SBinaryArray MVbin;       // PT_MV_BINARY
    SLPSTRArray MVszA;        // PT_MV_STRING8
    SWStringArray MVszW;      // PT_MV_UNICODE
    SGuidArray MVguid;        // PT_MV_CLSID
    SLargeIntegerArray MVli;  // PT_MV_I8
    SCODE err;                // PT_ERROR
    LONG x;                   // PT_NULL, PT_OBJECT
};

struct SPropValue {
    ULONG ulPropTag;
    ULONG dwAlignPad;
    union PV Value;
};
using LPSPropValue = SPropValue*;

struct SPropTagArray {
    ULONG cValues;
    ULONG aulPropTag[MAPI_DIM];
};
using LPSPropTagArray = SPropTagArray*;
#define CbNewSPropTagArray(n) (offsetof(SPropTagArray, aulPropTag) + sizeof(ULONG) * (n))
#define CbSPropTagArray(p) CbNewSPropTagArray((p)->cValues)

// A tag array of a size fixed at compile time, usable wherever an LPSPropTagArray is taken:
//   SizedSPropTagArray<3> cols = {3, {PR_ENTRYID, PR_SUBJECT_W, PR_BODY_W}};
//   table->SetColumns(cols.get(), 0);
template <ULONG N>
struct SizedSPropTagArray {
    ULONG cValues;
    ULONG aulPropTag[N];
    LPSPropTagArray get() noexcept { return reinterpret_cast<LPSPropTagArray>(this); }
};

struct SPropProblem {
    ULONG ulIndex;
    ULONG ulPropTag;
    SCODE scode;
};
struct SPropProblemArray {
    ULONG cProblem;
    SPropProblem aProblem[MAPI_DIM];
};
using LPSPropProblemArray = SPropProblemArray*;

// ---- Rows ----
struct SRow {
    ULONG ulAdrEntryPad;
    ULONG cValues;
    LPSPropValue lpProps;
};
using LPSRow = SRow*;

struct SRowSet {
    ULONG cRows;
    SRow aRow[MAPI_DIM];
};
using LPSRowSet = SRowSet*;
#define CbNewSRowSet(n) (offsetof(SRowSet, aRow) + sizeof(SRow) * (n))

// An address list has the layout of a row set (ModifyRecipients).
struct ADRENTRY {
    ULONG ulReserved1;
    ULONG cValues;
    LPSPropValue rgPropVals;
};
struct ADRLIST {
    ULONG cEntries;
    ADRENTRY aEntries[MAPI_DIM];
};
using LPADRLIST = ADRLIST*;

// ---- Restrictions ----
#define RES_AND 0x00000000UL
#define RES_OR 0x00000001UL
#define RES_NOT 0x00000002UL
#define RES_CONTENT 0x00000003UL
#define RES_PROPERTY 0x00000004UL
#define RES_COMPAREPROPS 0x00000005UL
#define RES_BITMASK 0x00000006UL
#define RES_SIZE 0x00000007UL
#define RES_EXIST 0x00000008UL
#define RES_SUBRESTRICTION 0x00000009UL
#define RES_COMMENT 0x0000000AUL

#define RELOP_LT 0UL
#define RELOP_LE 1UL
#define RELOP_GT 2UL
#define RELOP_GE 3UL
#define RELOP_EQ 4UL
#define RELOP_NE 5UL
#define RELOP_RE 6UL

#define FL_FULLSTRING 0x00000000UL
#define FL_SUBSTRING 0x00000001UL
#define FL_PREFIX 0x00000002UL
#define FL_IGNORECASE 0x00010000UL
#define FL_IGNORENONSPACE 0x00020000UL
#define FL_LOOSE 0x00040000UL

#define BMR_EQZ 0UL
#define BMR_NEZ 1UL

struct SRestriction;
using LPSRestriction = SRestriction*;

struct SAndRestriction {
    ULONG cRes;
    LPSRestriction lpRes;
};
struct SOrRestriction {
    ULONG cRes;
    LPSRestriction lpRes;
};
struct SNotRestriction {
    ULONG ulReserved;
    LPSRestriction lpRes;
};
struct SContentRestriction {
    ULONG ulFuzzyLevel;
    ULONG ulPropTag;
    LPSPropValue lpProp;
};
struct SPropertyRestriction {
    ULONG relop;
    ULONG ulPropTag;
    LPSPropValue lpProp;
};
struct SComparePropsRestriction {
    ULONG relop;
    ULONG ulPropTag1;
    ULONG ulPropTag2;
};
struct SBitMaskRestriction {
    ULONG relBMR;
    ULONG ulPropTag;
    ULONG ulMask;
};
struct SSizeRestriction {
    ULONG relop;
    ULONG ulPropTag;
    ULONG cb;
};
struct SExistRestriction {
    ULONG ulReserved1;
    ULONG ulPropTag;
    ULONG ulReserved2;
};
struct SSubRestriction {
    ULONG ulSubObject;
    LPSRestriction lpRes;
};
struct SCommentRestriction {
    ULONG cValues;
    LPSRestriction lpRes;
    LPSPropValue lpProp;
};

struct SRestriction {
    ULONG rt;
    union {
        SComparePropsRestriction resCompareProps;
        SAndRestriction resAnd;
        SOrRestriction resOr;
        SNotRestriction resNot;
        SContentRestriction resContent;
        SPropertyRestriction resProperty;
        SBitMaskRestriction resBitMask;
        SSizeRestriction resSize;
        SExistRestriction resExist;
        SSubRestriction resSub;
        SCommentRestriction resComment;
    } res;
};

// ---- Sort orders ----
#define TABLE_SORT_ASCEND 0x00000000UL
#define TABLE_SORT_DESCEND 0x00000001UL
#define TABLE_SORT_COMBINE 0x00000002UL

struct SSortOrder {
    ULONG ulPropTag;
    ULONG ulOrder;
};
struct SSortOrderSet {
    ULONG cSorts;
    ULONG cCategories;
    ULONG cExpanded;
    SSortOrder aSort[MAPI_DIM];
};
using LPSSortOrderSet = SSortOrderSet*;
#define CbNewSSortOrderSet(n) (offsetof(SSortOrderSet, aSort) + sizeof(SSortOrder) * (n))

// A sort order set of a size fixed at compile time:
//   SizedSSortOrderSet<1> sort = {1, 0, 0, {{PR_SUBJECT_W, TABLE_SORT_ASCEND}}};
template <ULONG N>
struct SizedSSortOrderSet {
    ULONG cSorts;
    ULONG cCategories;
    ULONG cExpanded;
    SSortOrder aSort[N];
    LPSSortOrderSet get() noexcept { return reinterpret_cast<LPSSortOrderSet>(this); }
};

// ---- Named properties ----
#define MNID_ID 0UL
#define MNID_STRING 1UL

struct MAPINAMEID {
    LPGUID lpguid;
    ULONG ulKind;
    union {
        LONG lID;
        LPWSTR lpwstrName;
    } Kind;
};
using LPMAPINAMEID = MAPINAMEID*;

// ---- Errors, initialisation ----
struct MAPIERROR {
    ULONG ulVersion;
    LPTSTR lpszError;
    LPTSTR lpszComponent;
    ULONG ulLowLevelError;
    ULONG ulContext;
};
using LPMAPIERROR = MAPIERROR*;

#define MAPI_INIT_VERSION 0UL
#define MAPI_MULTITHREAD_NOTIFICATIONS 0x00000001UL
#define MAPI_NO_COINIT 0x00000008UL

struct MAPIINIT_0 {
    ULONG ulVersion;
    ULONG ulFlags;
};
using LPMAPIINIT_0 = MAPIINIT_0*;

// ---- IStream ----
#define STREAM_SEEK_SET 0UL
#define STREAM_SEEK_CUR 1UL
#define STREAM_SEEK_END 2UL
#define STGC_DEFAULT 0UL
#define STATFLAG_DEFAULT 0UL
#define STATFLAG_NONAME 1UL
#define STGM_READ 0x00000000UL
#define STGM_WRITE 0x00000001UL
#define STGM_READWRITE 0x00000002UL
#define STGTY_STREAM 2UL

struct STATSTG {
    LPWSTR pwcsName;  // MAPIFreeBuffer-owned when not null; this runtime never fills it
    DWORD type;
    ULARGE_INTEGER cbSize;
    FILETIME mtime;
    FILETIME ctime;
    FILETIME atime;
    DWORD grfMode;
    DWORD grfLocksSupported;
    CLSID clsid;
    DWORD grfStateBits;
    DWORD reserved;
};

// ---- Flags ----
// Generic.
#define MAPI_MODIFY 0x00000001UL
#define MAPI_ACCESS_MODIFY 0x00000001UL
#define MAPI_ACCESS_READ 0x00000002UL
#define MAPI_CREATE 0x00000002UL
#define MAPI_DEFERRED_ERRORS 0x00000008UL
#define MAPI_BEST_ACCESS 0x00000010UL
#define MAPI_ASSOCIATED 0x00000040UL
#define MAPI_UNICODE 0x80000000UL
#define MAPI_NO_STRINGS 0x00000001UL
#define MAPI_NO_IDS 0x00000002UL
#define MAPI_DIALOG 0x00000008UL
#define SHOW_SOFT_DELETES 0x00000002UL

// MAPILogonEx.
#define MAPI_LOGON_UI 0x00000001UL
#define MAPI_NEW_SESSION 0x00000002UL
#define MAPI_ALLOW_OTHERS 0x00000008UL
#define MAPI_EXPLICIT_PROFILE 0x00000010UL
#define MAPI_EXTENDED 0x00000020UL
#define MAPI_USE_DEFAULT 0x00000040UL
#define MAPI_FORCE_DOWNLOAD 0x00001000UL
#define MAPI_SERVICE_UI_ALWAYS 0x00002000UL
#define MAPI_NO_MAIL 0x00008000UL
#define MAPI_NT_SERVICE 0x00010000UL
#define MAPI_PASSWORD_UI 0x00020000UL
#define MAPI_TIMEOUT_SHORT 0x00100000UL

// IMAPISession::Logoff.
#define MAPI_LOGOFF_SHARED 0x00000001UL
#define MAPI_LOGOFF_UI 0x00000002UL

// OpenMsgStore.
#define MDB_NO_DIALOG 0x00000001UL
#define MDB_WRITE 0x00000004UL
#define MDB_TEMPORARY 0x00000020UL
#define MDB_NO_MAIL 0x00000080UL

// SaveChanges.
#define KEEP_OPEN_READONLY 0x00000001UL
#define KEEP_OPEN_READWRITE 0x00000002UL
#define FORCE_SAVE 0x00000004UL

// Object types (the ulObjType of OpenEntry, PR_OBJECT_TYPE).
#define MAPI_STORE 0x00000001UL
#define MAPI_ADDRBOOK 0x00000002UL
#define MAPI_FOLDER 0x00000003UL
#define MAPI_ABCONT 0x00000004UL
#define MAPI_MESSAGE 0x00000005UL
#define MAPI_MAILUSER 0x00000006UL
#define MAPI_ATTACH 0x00000007UL
#define MAPI_DISTLIST 0x00000008UL
#define MAPI_PROFSECT 0x00000009UL
#define MAPI_STATUS 0x0000000AUL
#define MAPI_SESSION 0x0000000BUL

// Folders.
#define FOLDER_ROOT 0x00000000UL
#define FOLDER_GENERIC 0x00000001UL
#define FOLDER_SEARCH 0x00000002UL
#define OPEN_IF_EXISTS 0x00000001UL
#define DEL_MESSAGES 0x00000008UL
#define DEL_FOLDERS 0x00000004UL
#define DEL_ASSOCIATED 0x00000008UL
#define MESSAGE_DIALOG 0x00000002UL
#define MAPI_MOVE 0x00000001UL

// Messages and attachments.
#define MSGFLAG_READ 0x00000001UL
#define MSGFLAG_UNMODIFIED 0x00000002UL
#define MSGFLAG_UNSENT 0x00000008UL
#define MSGFLAG_HASATTACH 0x00000010UL
#define ATTACH_BY_VALUE 0x00000001UL
#define ATTACH_EMBEDDED_MSG 0x00000005UL

// Tables.
#define TBL_ALL_COLUMNS 0x00000001UL
#define TBL_ASYNC 0x00000001UL
#define TBL_BATCH 0x00000002UL
#define TBL_NOADVANCE 0x00000001UL
#define TBL_NOWAIT 0x00000001UL
#define TBLSTAT_COMPLETE 0UL
#define TBLTYPE_SNAPSHOT 0UL
#define TBLTYPE_KEYSET 1UL
#define TBLTYPE_DYNAMIC 2UL
#define DIR_BACKWARD 0x00000001UL
#define CONVENIENT_DEPTH 0x00000001UL

using BOOKMARK = ULONG_PTR;
#define BOOKMARK_BEGINNING static_cast<BOOKMARK>(0)
#define BOOKMARK_CURRENT static_cast<BOOKMARK>(1)
#define BOOKMARK_END static_cast<BOOKMARK>(2)

// ---- GUIDs ----
#define NX_DEFINE_OLEGUID(name, l) \
    inline constexpr GUID name = {l, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}}

NX_DEFINE_OLEGUID(IID_IUnknown, 0x00000000);
NX_DEFINE_OLEGUID(IID_IStream, 0x0000000C);
NX_DEFINE_OLEGUID(IID_IMAPISession, 0x00020300);
NX_DEFINE_OLEGUID(IID_IMAPITable, 0x00020301);
NX_DEFINE_OLEGUID(IID_IMAPIAdviseSink, 0x00020302);
NX_DEFINE_OLEGUID(IID_IMAPIProp, 0x00020303);
NX_DEFINE_OLEGUID(IID_IProfSect, 0x00020304);
NX_DEFINE_OLEGUID(IID_IMAPIStatus, 0x00020305);
NX_DEFINE_OLEGUID(IID_IMsgStore, 0x00020306);
NX_DEFINE_OLEGUID(IID_IMessage, 0x00020307);
NX_DEFINE_OLEGUID(IID_IAttachment, 0x00020308);
NX_DEFINE_OLEGUID(IID_IAddrBook, 0x00020309);
NX_DEFINE_OLEGUID(IID_IMailUser, 0x0002030A);
NX_DEFINE_OLEGUID(IID_IMAPIContainer, 0x0002030B);
NX_DEFINE_OLEGUID(IID_IMAPIFolder, 0x0002030C);
NX_DEFINE_OLEGUID(IID_IProfAdmin, 0x0002031C);
NX_DEFINE_OLEGUID(IID_IMsgServiceAdmin, 0x0002031D);
NX_DEFINE_OLEGUID(PS_MAPI, 0x00020328);
NX_DEFINE_OLEGUID(PS_PUBLIC_STRINGS, 0x00020329);
NX_DEFINE_OLEGUID(PSETID_Appointment, 0x00062002);
NX_DEFINE_OLEGUID(PSETID_Task, 0x00062003);
NX_DEFINE_OLEGUID(PSETID_Address, 0x00062004);
NX_DEFINE_OLEGUID(PSETID_Common, 0x00062008);
NX_DEFINE_OLEGUID(PSETID_Log, 0x0006200A);
NX_DEFINE_OLEGUID(PSETID_Note, 0x0006200E);
#undef NX_DEFINE_OLEGUID

inline constexpr IID IID_IAttach = IID_IAttachment;
inline constexpr IID IID_ISequentialStream = {
    0x0C733A30, 0x2A1C, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
inline constexpr GUID PSETID_Meeting = {
    0x6ED8DA90, 0x450B, 0x101B, {0x98, 0xDA, 0x00, 0xAA, 0x00, 0x3F, 0x13, 0x05}};
