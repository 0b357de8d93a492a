#include "agent/AgentConfig.h"

#include <algorithm>
#include <exception>

#include "common/LogFile.h"
#include "platform/system/Files.h"
#include "platform/system/Paths.h"
#include "platform/system/ProfileString.h"

namespace nx::agent {
namespace {

AgentConfig g_config;

bool EqualsTrueNoCase(std::string_view v) {
    static constexpr std::string_view kTrue = "true";
    if (v.size() != kTrue.size()) return false;
    for (std::size_t i = 0; i < v.size(); ++i) {
        char c = v[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kTrue[i]) return false;
    }
    return true;
}

// "<base>/<relative>" made the agent's own folder (platform/system/Files.h: MakeOwnFolder), or ""
// with a trace line saying why it is refused: the agent's documents and pictures go nowhere else.
std::string OwnFolderOrNothing(const std::string& base, const std::string& relative) {
    const std::string folder = relative.empty() ? base : nx::sys::JoinPath(base, relative);
    const char* why = nullptr;
    switch (nx::sys::MakeOwnFolder(base, relative)) {
        case nx::sys::OwnFolder::Ready:
            return folder;
        case nx::sys::OwnFolder::Link:
            why = "it is a link, which the agent does not follow";
            break;
        case nx::sys::OwnFolder::NotAFolder:
            why = "a file is in its place";
            break;
        case nx::sys::OwnFolder::OthersFolder:
            why = "it belongs to another user";
            break;
        case nx::sys::OwnFolder::Unusable:
            why = "it cannot be created";
            break;
    }
    CLogFile::Trace("folder \"%s\" refused: %s\r\n", folder.c_str(), why);
    return "";
}

bool HasParentStep(std::string_view relative) {
    std::size_t start = 0;
    while (start <= relative.size()) {
        const std::size_t end = std::min(relative.find(nx::sys::kPathSeparator, start), relative.size());
        if (relative.substr(start, end - start) == "..") return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

const AgentConfig& Config() {
    return g_config;
}
AgentConfig& MutableConfig() {
    return g_config;
}

void ReadAgentProfile(std::string_view section) {
    ReadAgentProfileFor(nx::sys::ExecutablePath(), section);
}

void ReadAgentProfileFor(std::string_view executablePath, std::string_view section) {
    AgentConfig& c = g_config;
    c.executableFolder.clear();
    if (executablePath.empty()) return;
    c.executableFolder = nx::sys::FolderWithSeparator(executablePath);
    const std::string iniPath = c.executableFolder + kProfileFileName;

    const std::string subFolder = nx::sys::GetPrivateProfileString(section, "subfolder", "false",
                                                                   nx::sys::kProfileBufferUnits, iniPath);
    c.subFolder = EqualsTrueNoCase(subFolder);

    const std::string xmlPath =
        nx::sys::GetPrivateProfileString(section, "XMLPath", "", nx::sys::kProfileBufferUnits, iniPath);
    if (!xmlPath.empty()) {
        // The folder is asked for once per document path; an empty
        // folder (no application data) leaves the document path "" so nothing is saved.
        const std::string folders = GetXmlFolder(xmlPath);
        c.foldersDocumentPath = folders.empty() ? "" : nx::sys::JoinPath(folders, "Outlook.xml");
        const std::string profiles = GetXmlFolder(xmlPath);
        c.profilesDocumentPath = profiles.empty() ? "" : nx::sys::JoinPath(profiles, "Profile.xml");
    }
}

std::string GetXmlFolder(std::string_view name) {
    std::string folder = nx::sys::RoamingAppDataFolder();
    if (folder.empty()) return "";
    if (!name.empty()) {
        // The value is written as on Windows: '\' separates folders ("Nx\Sync").
        std::string relative(name);
        for (char& c : relative)
            if (c == '\\') c = nx::sys::kPathSeparator;
        // The documents stay inside the application-data folder: a ".." step could put them
        // (and their private copies of the user's data) anywhere the user may write.
        if (HasParentStep(relative)) {
            CLogFile::Trace("XMLPath \"%s\" refused: \"..\" would leave the application data folder\r\n",
                            std::string(name).c_str());
            return "";
        }
        return OwnFolderOrNothing(folder, relative);
    }
    return folder;  // the application-data folder itself, as RoamingAppDataFolder made it
}

void CreateWorkFolder() {
    g_config.workFolder.clear();
    try {
        std::string base = nx::sys::RoamingAppDataFolder();
        if (base.empty()) base = nx::sys::TempFolder();
        // A work folder that is a link or not ours stays "": no picture is written anywhere else.
        g_config.workFolder = OwnFolderOrNothing(base, "Outlook");
    } catch (const std::exception&) {
        g_config.workFolder.clear();
    }
}

}  // namespace nx::agent
