// Administration API of libmapi32.so, exported beside the 10 MAPI entry points, for the
// administration tool and for test fixtures. It manages what a MAPI client cannot create through
// MAPI itself: profiles, the stores of a profile, and the embedded default world. Folders, items,
// attachments and named properties are made through the ordinary MAPI interfaces after a logon
// (OpenMsgStore, OpenEntry, CreateFolder, CreateMessage, SetProps,
// GetIDsFromNames(MAPI_CREATE), CreateAttach, OpenProperty).
//
// Where the data lives: $XDG_DATA_HOME/nxmapi (or ~/.local/share/nxmapi when XDG_DATA_HOME is
// unset or empty). profiles.db there lists the profiles and their stores; every store is one
// SQLite file under stores/. Every function reads the location afresh, so a test isolates a
// whole world by pointing XDG_DATA_HOME at a temporary folder.
//
// Text is UTF-8 throughout. Every function returns an HRESULT (S_OK on success, a MAPI_E_* code
// otherwise) and never throws; NxMapiAdminErrorText gives a one-line English description of a
// code for the tool's messages. The functions are safe to call from several threads and several
// processes at once; each change is one transaction.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifdef _WIN32
#define NX_MAPI_ADMIN_EXPORT  // MAPI32.def lists the exports
#else
#define NX_MAPI_ADMIN_EXPORT __attribute__((visibility("default")))
#endif

// Flags of NxMapiAdminAddStore.
#define NX_MAPI_STORE_DEFAULT 0x1u           // the store becomes the profile's default store
#define NX_MAPI_STORE_LONGTERM_IDS 0x2u      // contents tables supply PR_LONGTERM_ENTRYID_FROM_TABLE
#define NX_MAPI_STORE_STANDARD_FOLDERS 0x4u  // also create the standard folders (see InitDefault)

// Creates a profile with no stores. A profile name is 1 to 255 bytes of UTF-8 and unique
// (compared exactly). makeDefault != 0 makes it the default profile; the first profile created
// becomes the default whatever makeDefault says. MAPI_E_COLLISION when the name exists,
// MAPI_E_INVALID_PARAMETER for an empty or over-long name.
NX_MAPI_ADMIN_EXPORT int32_t NxMapiAdminCreateProfile(const char* profileName, int makeDefault);

// Deletes a profile and the store files of its stores. When it was the default profile, the
// first remaining profile (in creation order) becomes the default. MAPI_E_NOT_FOUND when absent.
NX_MAPI_ADMIN_EXPORT int32_t NxMapiAdminDeleteProfile(const char* profileName);

// Makes a profile the default one. MAPI_E_NOT_FOUND when absent.
NX_MAPI_ADMIN_EXPORT int32_t NxMapiAdminSetDefaultProfile(const char* profileName);

// Adds a new message store to a profile: a new store file holding the root folder and the
// "Top of Personal Folders" folder (the IPM subtree), plus the standard folders with
// NX_MAPI_STORE_STANDARD_FOLDERS. Store display names are
// unique within a profile. flags: NX_MAPI_STORE_*. The first store of a profile becomes its
// default store whatever the flags say; with NX_MAPI_STORE_DEFAULT an earlier default stops being
// the default. On success, when entryIdHex is not null and entryIdHexSize is large enough (at
// least 129 bytes), the store's entry id is written there as upper-case hex, NUL-terminated.
// MAPI_E_NOT_FOUND: no such profile; MAPI_E_COLLISION: the name is taken.
NX_MAPI_ADMIN_EXPORT int32_t NxMapiAdminAddStore(const char* profileName, const char* storeDisplayName,
                                                 uint32_t flags, char* entryIdHex, uint32_t entryIdHexSize);

// Removes a store from a profile and deletes its file. When it was the default store, the first
// remaining store becomes the default. MAPI_E_NOT_FOUND when either name is unknown.
NX_MAPI_ADMIN_EXPORT int32_t NxMapiAdminRemoveStore(const char* profileName, const char* storeDisplayName);

// Makes the default world that `mapiadmin init` provides: profile "Outlook" (made the default
// profile) with store "Personal Folders" (its default store) whose IPM subtree holds Inbox
// (IPF.Note), Calendar (IPF.Appointment), Contacts (IPF.Contact), Tasks (IPF.Task), Journal
// (IPF.Journal), Notes (IPF.StickyNote), Drafts (IPF.Note), Sent Items (IPF.Note) and Deleted Items
// (IPF.Note); the Inbox is the receive folder of "IPM.Note" (and of "", the default class), and
// the root folder and the Inbox carry PR_IPM_APPOINTMENT/CONTACT/JOURNAL/NOTE/TASK/DRAFTS_ENTRYID.
// Other stores get the standard folders with NX_MAPI_STORE_STANDARD_FOLDERS or
// NxMapiAdminCreateStandardFolders.
// MAPI_E_COLLISION (and nothing changed) when a profile "Outlook" already exists.
NX_MAPI_ADMIN_EXPORT int32_t NxMapiAdminInitDefault(void);

// Gives an existing store the standard folders listed above (those missing are created under the
// IPM subtree) and wires the receive folder and the default-folder entry ids to them.
// MAPI_E_NOT_FOUND when either name is unknown.
NX_MAPI_ADMIN_EXPORT int32_t NxMapiAdminCreateStandardFolders(const char* profileName,
                                                              const char* storeDisplayName);

typedef struct NxMapiStoreInfo {
    const char* displayName;  // UTF-8
    const char* path;         // the store's SQLite file
    const char* entryIdHex;   // the store's entry id, upper-case hex
    int isDefault;            // the profile's default store
    int longTermIds;          // contents tables supply PR_LONGTERM_ENTRYID_FROM_TABLE
    int format;               // the store file's format as it is now (a file of an older format is
                              // upgraded when a session opens it); 0 when it cannot be read
} NxMapiStoreInfo;

typedef struct NxMapiProfileInfo {
    const char* name;  // UTF-8
    int isDefault;     // the default profile
    uint32_t storeCount;
    const NxMapiStoreInfo* stores;  // in the order they were added
} NxMapiProfileInfo;

typedef struct NxMapiProfileList {
    uint32_t profileCount;
    const NxMapiProfileInfo* profiles;  // in creation order (the profile table's order)
} NxMapiProfileList;

// Lists every profile and its stores. *list is owned by the caller and freed with
// NxMapiAdminFreeProfileList. With no profile configured the list is empty (S_OK).
NX_MAPI_ADMIN_EXPORT int32_t NxMapiAdminListProfiles(NxMapiProfileList** list);
NX_MAPI_ADMIN_EXPORT void NxMapiAdminFreeProfileList(NxMapiProfileList* list);

// The folder that holds profiles.db and the stores, UTF-8, NUL-terminated; MAPI_E_NOT_FOUND when
// neither XDG_DATA_HOME nor HOME is set, MAPI_E_STRING_TOO_LONG when the buffer is too small.
NX_MAPI_ADMIN_EXPORT int32_t NxMapiAdminDataFolder(char* buffer, uint32_t bufferSize);

// A static English text for an HRESULT ("MAPI_E_NOT_FOUND: not found", ...); never null.
NX_MAPI_ADMIN_EXPORT const char* NxMapiAdminErrorText(int32_t hr);

#ifdef __cplusplus
}
#endif
