#include "platform/registry/Registry.h"

#include <cstdlib>
#include <cstring>

#include "platform/system/Ascii.h"
#include "platform/system/DebugOutput.h"
#include "platform/system/Paths.h"
#include "platform/system/Utf.h"

namespace nx::reg {
namespace {

std::string_view Trim(std::string_view s) {
    return nx::sys::TrimAscii(s, " \t\r");
}

struct RootAlias {
    const char* longName;
    const char* shortName;
};
constexpr RootAlias kRoots[] = {
    {"hkey_current_user", "hkcu"}, {"hkey_local_machine", "hklm"},  {"hkey_classes_root", "hkcr"},
    {"hkey_users", "hku"},         {"hkey_current_config", "hkcc"},
};

// Folded, canonical key path: long root name, single separators, no trailing separator.
// "" for a path without a known root.
std::string CanonicalKey(std::string_view path) {
    std::string folded = nx::sys::AsciiLower(Trim(path));
    std::string out;
    out.reserve(folded.size());
    for (char c : folded) {
        if (c == '\\' && (out.empty() || out.back() == '\\')) continue;
        out += c;
    }
    while (!out.empty() && out.back() == '\\') out.pop_back();
    const auto sep = out.find('\\');
    const std::string root = out.substr(0, sep);
    for (const auto& r : kRoots) {
        if (root == r.longName || root == r.shortName)
            return std::string(r.longName) + (sep == std::string::npos ? "" : out.substr(sep));
    }
    return "";
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = nx::sys::AsciiLower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

void AppendUtf16Le(std::vector<uint8_t>& out, std::string_view utf8) {
    for (char16_t u : nx::sys::Utf8ToUtf16(utf8)) {
        out.push_back(static_cast<uint8_t>(u & 0xFF));
        out.push_back(static_cast<uint8_t>(u >> 8));
    }
    out.push_back(0);
    out.push_back(0);
}

// Reads a quoted text at s (s[0] == '"'); \\ and \" are the escapes the editor writes, any
// other backslash is kept. Returns false when the closing quote is missing.
bool ReadQuoted(std::string_view& s, std::string& out) {
    s.remove_prefix(1);
    out.clear();
    while (!s.empty()) {
        const char c = s.front();
        s.remove_prefix(1);
        if (c == '"') return true;
        if (c == '\\' && !s.empty() && (s.front() == '\\' || s.front() == '"')) {
            out += s.front();
            s.remove_prefix(1);
            continue;
        }
        out += c;
    }
    return false;
}

// True for a value line whose data is a hex list ("name"=hex:..., @=hex(7):...).
bool IsHexValueLine(std::string_view t) {
    if (t.front() == '"') {
        std::string name;
        if (!ReadQuoted(t, name)) return false;
    } else if (t.front() == '@') {
        t.remove_prefix(1);
    } else {
        return false;
    }
    t = Trim(t);
    if (t.empty() || t.front() != '=') return false;
    t = Trim(t.substr(1));
    return t.size() >= 3 && nx::sys::AsciiLower(t.substr(0, 3)) == "hex";
}

}  // namespace

struct RegParser {
    RegFile& file;
    std::string currentKey;  // canonical; "" outside any usable section
    std::size_t lineNo = 0;

    void Fail(std::string_view what) {
        if (file.m_error.empty()) file.m_error = "line " + std::to_string(lineNo) + ": " + std::string(what);
    }

    void Section(std::string_view line) {
        const auto close = line.rfind(']');
        if (close == std::string_view::npos) {
            currentKey.clear();
            return Fail("section without ']'");
        }
        std::string_view inner = line.substr(1, close - 1);
        const bool remove = !inner.empty() && inner.front() == '-';
        if (remove) inner.remove_prefix(1);
        const std::string key = CanonicalKey(inner);
        currentKey.clear();
        if (key.empty()) return Fail("section with an unknown root key");
        if (remove) {
            for (auto it = file.m_keys.begin(); it != file.m_keys.end();) {
                const bool below = it->first.size() > key.size() &&
                                   it->first.compare(0, key.size(), key) == 0 &&
                                   it->first[key.size()] == '\\';
                it = (it->first == key || below) ? file.m_keys.erase(it) : std::next(it);
            }
            return;
        }
        currentKey = key;
        file.m_keys[key];  // the key exists even without values
    }

    bool HexBytes(std::string_view s, std::vector<uint8_t>& out) {
        out.clear();
        while (true) {
            s = Trim(s);
            if (s.empty()) return true;
            std::size_t n = 0;
            int v = 0;
            while (n < s.size() && HexDigit(s[n]) >= 0) {
                v = v * 16 + HexDigit(s[n]);
                if (++n > 2) return false;
            }
            if (n == 0) return false;
            out.push_back(static_cast<uint8_t>(v));
            s = Trim(s.substr(n));
            if (s.empty()) return true;
            if (s.front() != ',') return false;
            s.remove_prefix(1);
        }
    }

    void ValueLine(std::string_view line) {
        std::string name;
        if (line.front() == '@') {
            line.remove_prefix(1);
        } else if (!ReadQuoted(line, name)) {
            return Fail("value name without closing quote");
        }
        line = Trim(line);
        if (line.empty() || line.front() != '=') return Fail("value without '='");
        line = Trim(line.substr(1));
        if (currentKey.empty()) return;  // values of a section that gives none
        auto& values = file.m_keys[currentKey];
        const std::string folded = nx::sys::AsciiLower(name);
        if (line == "-") {
            values.erase(folded);
            return;
        }
        Value v;
        if (!line.empty() && line.front() == '"') {
            std::string text;
            if (!ReadQuoted(line, text)) return Fail("string value without closing quote");
            if (!Trim(line).empty()) return Fail("text after a string value");
            v.type = REG_SZ;
            AppendUtf16Le(v.data, text);
        } else if (line.size() >= 6 && nx::sys::AsciiLower(line.substr(0, 6)) == "dword:") {
            const std::string_view digits = Trim(line.substr(6));
            if (digits.empty() || digits.size() > 8) return Fail("dword needs 1 to 8 hex digits");
            uint32_t d = 0;
            for (char c : digits) {
                if (HexDigit(c) < 0) return Fail("dword needs 1 to 8 hex digits");
                d = d * 16 + static_cast<uint32_t>(HexDigit(c));
            }
            v.type = REG_DWORD;
            for (int i = 0; i < 4; ++i) v.data.push_back(static_cast<uint8_t>(d >> (8 * i)));
        } else if (line.size() >= 3 && nx::sys::AsciiLower(line.substr(0, 3)) == "hex") {
            std::string_view rest = line.substr(3);
            v.type = REG_BINARY;
            if (!rest.empty() && rest.front() == '(') {
                const auto close = rest.find(')');
                if (close == std::string_view::npos || close == 1 || close > 9)
                    return Fail("hex(type) needs a hex type number");
                uint32_t t = 0;
                for (char c : rest.substr(1, close - 1)) {
                    if (HexDigit(c) < 0) return Fail("hex(type) needs a hex type number");
                    t = t * 16 + static_cast<uint32_t>(HexDigit(c));
                }
                v.type = t;
                rest = rest.substr(close + 1);
            }
            if (rest.empty() || rest.front() != ':') return Fail("hex data needs ':'");
            if (!HexBytes(rest.substr(1), v.data))
                return Fail("hex data must be two-digit bytes separated by ','");
        } else {
            return Fail("unknown value data");
        }
        values[folded] = std::move(v);
    }
};

RegFile RegFile::Parse(std::string_view fileBytes) {
    RegFile file;
    if (fileBytes.size() > kMaxHiveFileBytes) {
        file.m_error = "file larger than 16 MiB";
        return file;
    }
    const std::string text = nx::sys::TextFileToUtf8(fileBytes, &file.m_encodingNote);
    RegParser parser{file, {}, 0};

    // Physical lines, joined where a line ends in '\' outside a quoted text.
    std::string_view rest(text);
    bool header = false;
    std::string logical;
    std::size_t logicalStart = 0;
    std::size_t physical = 0;
    while (!rest.empty() || !logical.empty()) {
        std::string_view line;
        bool haveLine = !rest.empty();
        if (haveLine) {
            const auto nl = rest.find('\n');
            line = rest.substr(0, nl);
            rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
            ++physical;
        }
        std::string_view t = Trim(line);
        if (logical.empty()) logicalStart = physical;
        // A hex list may go on over several lines, each but the last ending in '\'.
        if (haveLine && !t.empty() && t.back() == '\\' && (!logical.empty() || IsHexValueLine(t))) {
            logical.append(t.substr(0, t.size() - 1));
            continue;
        }
        logical.append(t);
        const std::string full = std::move(logical);
        logical.clear();
        parser.lineNo = logicalStart;
        const std::string_view l = Trim(full);
        if (l.empty() || l.front() == ';') continue;
        if (!header) {
            if (l == "Windows Registry Editor Version 5.00" || l == "REGEDIT4") {
                header = true;
                continue;
            }
            parser.Fail("the file does not start with \"Windows Registry Editor Version 5.00\"");
            file.m_keys.clear();
            return file;
        }
        if (l.front() == '[') {
            parser.Section(l);
        } else if (l.front() == '"' || l.front() == '@') {
            parser.ValueLine(l);
        } else {
            parser.Fail("line is neither a section nor a value");
        }
    }
    if (!header && file.m_error.empty()) file.m_error = "empty file";
    return file;
}

bool RegFile::KeyExists(std::string_view keyPath) const {
    const std::string key = CanonicalKey(keyPath);
    if (key.empty()) return false;
    // Keys that extend the name ("deep2", "deep old") sort between a key and the keys below
    // it, so every key that starts with the name is looked at.
    for (auto it = m_keys.lower_bound(key); it != m_keys.end(); ++it) {
        if (it->first.compare(0, key.size(), key) != 0) return false;
        if (it->first.size() == key.size() || it->first[key.size()] == '\\') return true;
    }
    return false;
}

const Value* RegFile::Find(std::string_view keyPath, std::string_view valueName) const {
    const auto k = m_keys.find(CanonicalKey(keyPath));
    if (k == m_keys.end()) return nullptr;
    const auto v = k->second.find(nx::sys::AsciiLower(valueName));
    return v == k->second.end() ? nullptr : &v->second;
}

const char* HiveName(Hive hive) {
    return hive == Hive::CurrentUser ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
}

long RegKey::QueryValue(std::string_view name, uint32_t* type, void* buffer, uint32_t& size) const {
    Value v;
    if (const long rc = QueryValue(name, v); rc != ERROR_SUCCESS) return rc;
    if (type != nullptr) *type = v.type;
    const auto need = static_cast<uint32_t>(v.data.size());
    if (buffer == nullptr) {
        size = need;
        return ERROR_SUCCESS;
    }
    if (need > size) {
        size = need;
        return ERROR_MORE_DATA;
    }
    if (need > 0) std::memcpy(buffer, v.data.data(), need);
    size = need;
    return ERROR_SUCCESS;
}

}  // namespace nx::reg
