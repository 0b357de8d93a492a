#include "platform/system/AtomicTemps.h"

#include <filesystem>
#include <map>
#include <mutex>

namespace nx::sys {
namespace {

bool IsLetterOrDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// What the process found in each folder it replaced a document in: folder -> document -> the
// temporary files of that document.
struct Listed {
    std::mutex lock;
    std::map<std::string, std::map<std::string, std::vector<std::string>>> byFolder;
};

Listed& TheListed() {
    static Listed listed;
    return listed;
}

// The leftovers of every document in `folder` (a path with its trailing separator, or "").
std::map<std::string, std::vector<std::string>> ListFolder(const std::string& folder) {
    namespace fs = std::filesystem;
    std::map<std::string, std::vector<std::string>> found;
    const std::u8string where(folder.begin(), folder.end());
    std::error_code ec;
    fs::directory_iterator it(folder.empty() ? fs::path(".") : fs::path(where), ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const std::u8string name8 = it->path().filename().u8string();
        const std::string name(name8.begin(), name8.end());
        const std::string document = DocumentOfTemporary(name);
        if (!document.empty()) found[document].push_back(folder + name);
    }
    return found;
}

}  // namespace

std::string DocumentOfTemporary(std::string_view entry) {
    // "." + document + "." + tail, the document at least one character.
    if (entry.size() < kTemporaryTailLength + 3 || entry.front() != '.') return std::string();
    const std::size_t dot = entry.size() - kTemporaryTailLength - 1;
    if (entry[dot] != '.') return std::string();
    for (char c : entry.substr(dot + 1))
        if (!IsLetterOrDigit(c)) return std::string();
    return std::string(entry.substr(1, dot - 1));
}

std::vector<std::string> TakeLeftoverTemporaries(const std::string& folder, std::string_view document) {
    Listed& listed = TheListed();
    std::lock_guard<std::mutex> guard(listed.lock);
    auto at = listed.byFolder.find(folder);
    if (at == listed.byFolder.end()) at = listed.byFolder.emplace(folder, ListFolder(folder)).first;
    auto& documents = at->second;
    const auto mine = documents.find(std::string(document));
    if (mine == documents.end()) return {};
    std::vector<std::string> paths = std::move(mine->second);
    documents.erase(mine);
    return paths;
}

}  // namespace nx::sys
