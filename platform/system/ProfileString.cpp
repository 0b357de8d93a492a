#include "platform/system/ProfileString.h"

#include <ini.h>

#include <cstring>
#include <vector>

#include "platform/system/Ascii.h"
#include "platform/system/DebugOutput.h"
#include "platform/system/Paths.h"
#include "platform/system/Utf.h"

namespace nx::sys {
namespace {

constexpr char kEscape = '\x1E';
constexpr std::size_t kMaxKeyBytes = 150;
// libinih's packaged line buffer is 200 bytes with the terminator; stay well inside it.
constexpr std::size_t kMaxPieceBytes = 180;
constexpr std::size_t kMaxProfileFileBytes = 1u << 20;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
    return TrimAscii(s, " \t\r\v\f");
}

bool NeedsEscape(char c) {
    return IsBlank(c) || c == '\n' || c == ';' || c == ':' || c == '#' || c == '=' || c == '[' || c == ']' ||
           c == kEscape || c == '\0';
}

std::string Escape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        if (NeedsEscape(c)) {
            out += kEscape;
            out += static_cast<char>(c ^ 0x40);
        } else {
            out += c;
        }
    }
    return out;
}

std::string Unescape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == kEscape && i + 1 < s.size()) {
            out += static_cast<char>(s[++i] ^ 0x40);
        } else {
            out += s[i];
        }
    }
    return out;
}

struct Entry {
    std::size_t section;
    std::string key;
    std::string rawValue;  // escaped, pieces joined
};

// State shared by the line reader and the handler. libinih calls the handler for a line
// before it asks the reader for the next one, so the reader can tell the handler what the
// line it just produced was.
struct Parse {
    std::vector<std::string_view> lines;
    std::size_t nextLine = 0;
    std::vector<std::string> pending;  // normalised lines still to hand out
    std::size_t nextPending = 0;
    std::vector<std::string> sections;
    std::vector<Entry> entries;
    bool lastWasContinuation = false;
    std::string currentKey;

    std::size_t SectionIndex(std::string_view name) {
        for (std::size_t i = 0; i < sections.size(); ++i)
            if (EqualsIgnoreAsciiCase(sections[i], name)) return i;
        sections.emplace_back(name);
        return sections.size() - 1;
    }

    // Turns one physical line into the normalised lines libinih will see.
    void Normalise(std::string_view line) {
        pending.clear();
        nextPending = 0;
        line = Trim(line);
        if (line.empty() || line.front() == ';') return;
        if (line.front() == '[') {
            std::string_view name = line.substr(1);
            const auto close = name.find(']');
            if (close != std::string_view::npos) name = name.substr(0, close);
            pending.push_back("[s" + std::to_string(SectionIndex(Trim(name))) + "]");
            return;
        }
        const auto eq = line.find('=');
        if (eq == std::string_view::npos) return;
        const std::string_view key = Trim(line.substr(0, eq));
        if (key.empty() || key.size() > kMaxKeyBytes) return;
        const std::string value = Escape(Trim(line.substr(eq + 1)));
        currentKey = std::string(key);
        std::string first = "k=";
        std::size_t pos = std::min(value.size(), kMaxPieceBytes);
        first.append(value, 0, pos);
        pending.push_back(std::move(first));
        while (pos < value.size()) {
            const std::size_t n = std::min(value.size() - pos, kMaxPieceBytes);
            pending.push_back(" " + value.substr(pos, n));
            pos += n;
        }
    }
};

char* ReadLine(char* str, int num, void* stream) {
    auto* p = static_cast<Parse*>(stream);
    while (p->nextPending >= p->pending.size()) {
        if (p->nextLine >= p->lines.size()) return nullptr;
        p->Normalise(p->lines[p->nextLine++]);
        if (p->pending.empty()) p->pending.emplace_back();  // keep libinih's line count honest
    }
    p->lastWasContinuation = p->nextPending > 0;
    const std::string& line = p->pending[p->nextPending++];
    const std::size_t n = std::min(line.size(), static_cast<std::size_t>(num > 1 ? num - 1 : 0));
    std::memcpy(str, line.data(), n);
    str[n] = '\0';
    return str;
}

int OnValue(void* user, const char* section, const char*, const char* value) {
    auto* p = static_cast<Parse*>(user);
    if (section == nullptr || section[0] != 's') return 1;  // a key before any section
    const std::size_t index = std::strtoul(section + 1, nullptr, 10);
    if (p->lastWasContinuation) {
        if (!p->entries.empty()) p->entries.back().rawValue += value;
        return 1;
    }
    p->entries.push_back(Entry{index, p->currentKey, value});
    return 1;
}

std::string StripQuotes(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        return std::string(v.substr(1, v.size() - 2));
    return std::string(v);
}

std::string FitBuffer(std::string_view text, std::size_t bufferUnits) {
    if (bufferUnits == 0) return "";
    std::u16string units = Utf8ToUtf16(text);
    if (units.size() > bufferUnits - 1) units.resize(bufferUnits - 1);
    // The value ends at its first zero unit, as a C string in the caller's buffer does.
    const auto zero = units.find(char16_t(0));
    if (zero != std::u16string::npos) units.resize(zero);
    return Utf16ToUtf8(units);
}

std::string DefaultValue(std::string_view def, std::size_t bufferUnits) {
    while (!def.empty() && def.back() == ' ') def.remove_suffix(1);
    return FitBuffer(def, bufferUnits);
}

}  // namespace

std::string GetProfileStringFromBytes(std::string_view fileBytes, std::string_view section,
                                      std::string_view key, std::string_view defaultValue,
                                      std::size_t bufferUnits) {
    const std::string text = TextFileToUtf8(fileBytes);  // GetPrivateProfileString says what was off
    Parse parse;
    std::string_view rest(text);
    while (!rest.empty()) {
        const auto nl = rest.find('\n');
        parse.lines.push_back(rest.substr(0, nl));
        if (nl == std::string_view::npos) break;
        rest.remove_prefix(nl + 1);
    }
    ini_parse_stream(ReadLine, &parse, OnValue, &parse);

    const std::string_view wantSection = Trim(section);
    const std::string_view wantKey = Trim(key);
    for (std::size_t s = 0; s < parse.sections.size(); ++s) {
        if (!EqualsIgnoreAsciiCase(parse.sections[s], wantSection)) continue;
        for (const Entry& e : parse.entries) {
            if (e.section == s && EqualsIgnoreAsciiCase(e.key, wantKey))
                return FitBuffer(StripQuotes(Unescape(e.rawValue)), bufferUnits);
        }
        break;
    }
    return DefaultValue(defaultValue, bufferUnits);
}

std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue, std::size_t bufferUnits,
                                    const std::string& path) {
    // A profile file is small; a runaway file is read no further than 1 MiB.
    std::string bytes;
    if (!ReadFileBytes(path, kMaxProfileFileBytes, bytes)) return DefaultValue(defaultValue, bufferUnits);
    if (bytes.size() > kMaxProfileFileBytes) {
        bytes.resize(kMaxProfileFileBytes);
        OutputDebugString(path + ": larger than 1 MiB; only its first 1 MiB is read\n");
    }
    // Nothing about the file goes unsaid: a guessed or unreadable encoding is reported.
    std::string note;
    TextFileToUtf8(bytes, &note);
    if (!note.empty()) OutputDebugString(path + ": " + note + "\n");
    return GetProfileStringFromBytes(bytes, section, key, defaultValue, bufferUnits);
}

}  // namespace nx::sys
