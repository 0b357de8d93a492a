// The registry on Linux: each hive is a Windows .reg export file in the per-user config folder,
// read whole at every open (so an edit takes effect at the next open).
#include <cstdlib>

#include "platform/registry/Registry.h"
#include "platform/system/DebugOutput.h"
#include "platform/system/Paths.h"

namespace nx::reg {
namespace {}  // namespace

std::string HiveFilePath(Hive hive) {
    std::string base;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home != nullptr && home[0] == '/' ? home : "") + "/.config";
    }
    return base + "/nx-registry/" + HiveName(hive) + ".reg";
}

long RegKey::Open(Hive hive, std::string_view subKey, RegKey& out) {
    std::string bytes;
    const std::string filePath = HiveFilePath(hive);
    if (!nx::sys::ReadFileBytes(filePath, kMaxHiveFileBytes, bytes)) return ERROR_FILE_NOT_FOUND;
    RegFile file = RegFile::Parse(bytes);
    // A file that is not read (or not all of it) says why, instead of its values silently
    // missing.
    if (!file.EncodingNote().empty())
        nx::sys::OutputDebugString(filePath + ": " + file.EncodingNote() + "\n");
    if (!file.Error().empty()) nx::sys::OutputDebugString(filePath + ": " + file.Error() + "\n");
    std::string path = std::string(HiveName(hive)) + "\\" + std::string(subKey);
    if (!file.KeyExists(path)) return ERROR_FILE_NOT_FOUND;
    out.m_file = std::move(file);
    out.m_path = std::move(path);
    return ERROR_SUCCESS;
}

long RegKey::QueryValue(std::string_view name, Value& out) const {
    const Value* v = m_file.Find(m_path, name);
    if (v == nullptr) return ERROR_FILE_NOT_FOUND;
    out = *v;
    return ERROR_SUCCESS;
}

}  // namespace nx::reg
