// The registry stand-in: reads values from Windows registry export files (.reg text).
//
// Location: one file per hive in the per-user configuration folder,
//     $XDG_CONFIG_HOME/nx-registry/HKEY_CURRENT_USER.reg
//     $XDG_CONFIG_HOME/nx-registry/HKEY_LOCAL_MACHINE.reg
// ($HOME/.config when XDG_CONFIG_HOME is unset). The file is read again at every key open, so
// an edit takes effect for the next open; nothing is ever written.
//
// Format (what the Windows registry editor exports):
//     Windows Registry Editor Version 5.00        (or REGEDIT4)
//
//     [HKEY_CURRENT_USER\SoftWare\Varnelle\LogFiles]
//     "/opt/agent/NxAgentOutlook64"=dword:00000006
//     "Text"="a \"quoted\" C:\\path"
//     @="the default value"
//     "Blob"=hex:01,02,ff
//     "Big"=hex(b):01,00,00,00,00,00,00,00        (hex(N): data of registry type N)
//     "Gone"=-                                    (deletes a value read earlier)
//     [-HKEY_CURRENT_USER\SoftWare\Old]           (deletes a key read earlier, subkeys too)
// UTF-8 (optional byte-order mark) or UTF-16LE with the FF FE mark, as the editor writes it;
// UTF-16LE without a mark and UTF-16BE are read too. A file over 16 MiB is not read. Whatever
// keeps a file from being read fully (its size, a guessed encoding, the first malformed line)
// is said on the debug output at the key open, "<file>: <what>".
// Lines starting with ';' are comments; a line ending in '\' continues on the next line (long
// hex lists). Key paths and value names compare without regard to case (ASCII letters), and a
// key exists when it or any key below it has a section. Root names may be written long
// (HKEY_CURRENT_USER) or short (HKCU). A file without the header line, or a section of another
// hive, gives no values. A malformed line is skipped; the first problem is kept in Error().
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace nx::reg {

enum class Hive { CurrentUser, LocalMachine };

// Registry value types.
inline constexpr uint32_t REG_NONE = 0;
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_EXPAND_SZ = 2;
inline constexpr uint32_t REG_BINARY = 3;
inline constexpr uint32_t REG_DWORD = 4;
inline constexpr uint32_t REG_MULTI_SZ = 7;
inline constexpr uint32_t REG_QWORD = 11;

// Windows status codes of the registry functions.
// A hive file larger than this is not read.
inline constexpr std::size_t kMaxHiveFileBytes = 16u << 20;

inline constexpr long ERROR_SUCCESS = 0;
inline constexpr long ERROR_FILE_NOT_FOUND = 2;
inline constexpr long ERROR_INVALID_PARAMETER = 87;
inline constexpr long ERROR_MORE_DATA = 234;

struct Value {
    uint32_t type = REG_NONE;
    std::vector<uint8_t> data;  // as the registry stores it: REG_SZ is UTF-16LE with its zero
    friend bool operator==(const Value&, const Value&) = default;
};

// The parsed content of one .reg file.
class RegFile {
public:
    // Never fails: what cannot be read is left out and the first problem is kept.
    static RegFile Parse(std::string_view fileBytes);

    // `keyPath` is the full path with its root ("HKEY_CURRENT_USER\SoftWare\X" or "HKCU\...").
    bool KeyExists(std::string_view keyPath) const;
    const Value* Find(std::string_view keyPath, std::string_view valueName) const;

    // "" when the whole file was read; else "line N: what".
    const std::string& Error() const { return m_error; }
    // What had to be guessed or dropped reading the bytes as text ("" when nothing).
    const std::string& EncodingNote() const { return m_encodingNote; }
    std::size_t KeyCount() const { return m_keys.size(); }

private:
    // folded key path -> (folded value name -> value)
    std::map<std::string, std::map<std::string, Value>> m_keys;
    std::string m_error;
    std::string m_encodingNote;

    friend struct RegParser;
};

// "HKEY_CURRENT_USER" / "HKEY_LOCAL_MACHINE".
const char* HiveName(Hive hive);
// The file that holds a hive.
std::string HiveFilePath(Hive hive);

// An open key: the subset of the Windows registry calls that the agent makes.
class RegKey {
public:
    // RegOpenKeyEx with KEY_QUERY_VALUE: ERROR_SUCCESS, or ERROR_FILE_NOT_FOUND when the hive
    // file or the key is missing.
    static long Open(Hive hive, std::string_view subKey, RegKey& out);

    // RegQueryValueEx: copies the data into `buffer` of `size` bytes. ERROR_FILE_NOT_FOUND
    // when the value is absent; ERROR_MORE_DATA (nothing copied) when it does not fit. `size`
    // returns the data size, `type` (optional) its type.
    long QueryValue(std::string_view name, uint32_t* type, void* buffer, uint32_t& size) const;
    // The whole value.
    long QueryValue(std::string_view name, Value& out) const;

private:
    RegFile m_file;
    std::string m_path;
};

}  // namespace nx::reg
