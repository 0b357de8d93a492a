// The process-wide configuration that start-up sets and the procedures read.
//
// PIMProfile.ini beside the executable, section "Outlook", each value read into a 260-unit
// buffer with profile-file semantics (platform/system/ProfileString.h):
//   subfolder  default "false"; the sub-folder switch is on when it equals "true" in any case
//              (TRUE, True ...); yes, 1 and everything else leave it off
//   XMLPath    default ""; when set, the name of a folder under the roaming application-data
//              folder ($XDG_DATA_HOME) that is created and receives Outlook.xml (folders
//              document) and Profile.xml (profiles document); when empty no folder is made and
//              both document paths stay ""; a '\' in the value separates folders as on Windows
//              ("Nx\Sync" is <application data>/Nx/Sync); a value with a ".." step is refused
//              with a trace line (the documents stay inside the application-data folder) and
//              both document paths stay ""
// Every document is written 0600, replaced atomically. The work folder is
// "<application data>/Outlook" (or "<temp>/Outlook" without an application-data folder), created
// at start-up; it holds contact pictures. Both folders are the agent's own
// (platform/system/Files.h: MakeOwnFolder): created 0700, an existing one of ours narrowed to
// 0700, and one that is a link (never followed), a file or another user's refused with the trace
// line 'folder "<path>" refused: <why>' (the document paths, or the work folder, stay "").
//
// Paths use '/' where the Windows design writes '\' ("%s\Outlook.xml" is "<folder>/Outlook.xml").
// Everything here is written on the main thread before the server listens and only read after.
#pragma once

#include <string>
#include <string_view>

namespace nx::agent {

struct AgentConfig {
    std::string executableFolder;      // with its trailing separator, "" when unknown
    bool subFolder = false;            // "subfolder" switch
    std::string foldersDocumentPath;   // ".../Outlook.xml" or ""
    std::string profilesDocumentPath;  // ".../Profile.xml" or ""
    std::string workFolder;            // "" when it could not be made
};

const AgentConfig& Config();
// Start-up and tests only.
AgentConfig& MutableConfig();

inline constexpr const char* kProfileFileName = "PIMProfile.ini";
inline constexpr const char* kProfileSection = "Outlook";

// Reads PIMProfile.ini from the executable's folder into the configuration.
void ReadAgentProfile(std::string_view section);
// As ReadAgentProfile, for an executable at `executablePath` ("" = the path query failed).
void ReadAgentProfileFor(std::string_view executablePath, std::string_view section);

// "<application data>/<name>" created with its parents (the application-data folder itself
// when name is ""); "" when it cannot be had or created.
std::string GetXmlFolder(std::string_view name);

void CreateWorkFolder();

}  // namespace nx::agent
