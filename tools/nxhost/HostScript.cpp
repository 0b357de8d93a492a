#include "tools/nxhost/HostScript.h"

#include <algorithm>
#include <charconv>

#include "agent/Interfaces.h"
#include "platform/system/Ascii.h"
#include "platform/system/Utf.h"

namespace nx::host {
namespace {

using nx::rpc::Direction;
using nx::rpc::Shape;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

bool ParseHex(std::string_view digits, uint32_t& value) {
    value = 0;
    if (digits.empty()) return false;
    const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
    return r.ec == std::errc() && r.ptr == digits.data() + digits.size();
}

struct Token {
    std::u16string text;
    bool bare = false;  // a word, not a quoted text or a file
};

// Reads one token at the start of `s` (blanks already skipped).
bool ReadToken(std::string_view& s, const FileReader& readFile, Token& out, std::string& error) {
    out.text.clear();
    if (s.front() == '"') {
        s.remove_prefix(1);
        std::string plain;  // UTF-8 run not yet converted
        auto flush = [&] {
            out.text += nx::sys::Utf8ToUtf16(plain);
            plain.clear();
        };
        while (true) {
            if (s.empty()) {
                error = "a quoted text has no closing '\"'";
                return false;
            }
            const char c = s.front();
            s.remove_prefix(1);
            if (c == '"') break;
            if (c != '\\') {
                plain += c;
                continue;
            }
            if (s.empty()) {
                error = "a quoted text ends in '\\'";
                return false;
            }
            const char e = s.front();
            s.remove_prefix(1);
            std::size_t hexLen = 0;
            switch (e) {
                case '"':
                    plain += '"';
                    continue;
                case '\\':
                    plain += '\\';
                    continue;
                case 'n':
                    plain += '\n';
                    continue;
                case 'r':
                    plain += '\r';
                    continue;
                case 't':
                    plain += '\t';
                    continue;
                case '0':
                    flush();
                    out.text += char16_t(0);
                    continue;
                case 'x':
                    hexLen = 2;
                    break;
                case 'u':
                    hexLen = 4;
                    break;
                case 'U':
                    hexLen = 6;
                    break;
                default:
                    error = std::string("unknown escape \\") + e;
                    return false;
            }
            uint32_t v = 0;
            if (s.size() < hexLen || !ParseHex(s.substr(0, hexLen), v)) {
                error = std::string("\\") + e + " needs " + std::to_string(hexLen) + " hex digits";
                return false;
            }
            s.remove_prefix(hexLen);
            flush();
            if (e == 'U') {
                if (v > 0x10FFFF) {
                    error = "\\U beyond U+10FFFF";
                    return false;
                }
                if (v >= 0x10000) {
                    v -= 0x10000;
                    out.text += static_cast<char16_t>(0xD800 + (v >> 10));
                    out.text += static_cast<char16_t>(0xDC00 + (v & 0x3FF));
                    continue;
                }
            }
            out.text += static_cast<char16_t>(v);
        }
        flush();
        if (!s.empty() && !IsBlank(s.front())) {
            error = "a quoted text must be followed by a blank";
            return false;
        }
        return true;
    }
    std::size_t n = 0;
    while (n < s.size() && !IsBlank(s[n])) ++n;
    const std::string_view word = s.substr(0, n);
    s.remove_prefix(n);
    if (word.front() == '@') {
        const std::string path(word.substr(1));
        if (path.empty()) {
            error = "'@' needs a file name";
            return false;
        }
        std::string content;
        std::string why;
        if (!readFile || !readFile(path, content, why)) {
            error = "cannot read " + path + (why.empty() ? "" : ": " + why);
            return false;
        }
        out.text = nx::sys::Utf8ToUtf16(content);
        return true;
    }
    out.text = nx::sys::Utf8ToUtf16(word);
    out.bare = true;
    return true;
}

}  // namespace

int FindProcedure(std::string_view name) {
    const auto& procs = nx::agent::AgentInterface().procedures;
    for (std::size_t i = 0; i < procs.size(); ++i)
        if (nx::sys::EqualsIgnoreAsciiCase(procs[i].name, name)) return static_cast<int>(i);
    return -1;
}

bool FillIdentifier(ScriptStep& step, std::u16string_view identifier) {
    std::vector<std::u16string> filled = step.inputs;
    for (std::u16string& text : filled) {
        for (std::size_t at = 0; (at = text.find(kIdentifierPlaceholder, at)) != std::u16string::npos;) {
            if (identifier.empty()) return false;
            text.replace(at, kIdentifierPlaceholder.size(), identifier);
            at += identifier.size();
        }
    }
    step.inputs = std::move(filled);
    return true;
}

const std::vector<std::string>& ParamNames(uint16_t opnum) {
    static const std::vector<std::vector<std::string>> kNames = {
        {},
        {"profile", "result"},
        {},
        {"profiles", "result"},
        {"count", "result"},
        {"count", "result"},
        {"folders", "result"},
        {"buffer", "result"},
        {"character", "result"},
        {"character", "result"},
        {"folder", "result"},
        {"folder", "result"},
        {"xml", "identifier", "time", "result"},
        {"xml", "identifier", "time", "result"},
        {"first", "anchor", "result"},
        {"first", "anchor", "result"},
        {},
    };
    static const std::vector<std::string> kNone;
    return opnum < kNames.size() ? kNames[opnum] : kNone;
}

std::string ProcedureList() {
    std::string out;
    const auto& procs = nx::agent::AgentInterface().procedures;
    for (std::size_t i = 0; i < procs.size(); ++i) {
        std::string line = "  " + std::to_string(i) + (i < 10 ? "  " : " ") + procs[i].name;
        const auto& names = ParamNames(static_cast<uint16_t>(i));
        std::string ins;
        std::string outs;
        for (std::size_t p = 0; p < procs[i].params.size(); ++p) {
            const auto& param = procs[i].params[p];
            const std::string& n = p < names.size() ? names[p] : std::to_string(p);
            if (param.dir != Direction::Out) {
                switch (param.shape) {
                    case Shape::WChar:
                        ins += " [" + n + ": one character]";
                        break;
                    case Shape::FixedArray:
                        ins += " [" + n + ": text, " + std::to_string(param.size) + " units]";
                        break;
                    default:
                        ins += " [" + n + ": text]";
                        break;
                }
            }
            if (param.dir != Direction::In) outs += (outs.empty() ? " -> " : ", ") + n;
        }
        line += ins + outs;
        out += line + "\n";
    }
    return out;
}

bool ParseScriptLine(std::string_view line, const FileReader& readFile, std::optional<ScriptStep>& step,
                     std::string& error) {
    step.reset();
    error.clear();
    while (!line.empty() && (IsBlank(line.front()) || line.front() == '\n')) line.remove_prefix(1);
    while (!line.empty() && (IsBlank(line.back()) || line.back() == '\n')) line.remove_suffix(1);
    if (line.empty() || line.front() == '#') return true;

    std::size_t n = 0;
    while (n < line.size() && !IsBlank(line[n])) ++n;
    const std::string_view name = line.substr(0, n);
    std::string_view rest = line.substr(n);

    std::vector<Token> tokens;
    while (true) {
        while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
        if (rest.empty()) break;
        Token t;
        if (!ReadToken(rest, readFile, t, error)) return false;
        tokens.push_back(std::move(t));
    }

    // Expected values follow a bare "=>".
    std::vector<Token> expected;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (tokens[i].bare && tokens[i].text == u"=>") {
            expected.assign(tokens.begin() + static_cast<std::ptrdiff_t>(i) + 1, tokens.end());
            tokens.resize(i);
            if (expected.empty() || expected.size() % 2 != 0) {
                error = "\"=>\" needs name and value pairs";
                return false;
            }
            break;
        }
    }

    if (nx::sys::EqualsIgnoreAsciiCase(name, "sleep")) {
        if (!expected.empty()) {
            error = "sleep has no values to expect";
            return false;
        }
        uint32_t ms = 0;
        const std::string digits = tokens.size() == 1 ? nx::sys::Utf16ToUtf8(tokens[0].text) : "";
        const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), ms);
        if (tokens.size() != 1 || r.ec != std::errc() || r.ptr != digits.data() + digits.size() ||
            ms > 600000) {
            error = "sleep needs one number of milliseconds (at most 600000)";
            return false;
        }
        ScriptStep s;
        s.kind = ScriptStep::Kind::Sleep;
        s.sleepMs = ms;
        step = std::move(s);
        return true;
    }

    const int opnum = FindProcedure(name);
    if (opnum < 0) {
        error = "unknown procedure '" + std::string(name) + "'";
        return false;
    }
    const auto& proc = nx::agent::AgentInterface().procedures[static_cast<std::size_t>(opnum)];
    const auto& names = ParamNames(static_cast<uint16_t>(opnum));
    ScriptStep s;
    s.opnum = static_cast<uint16_t>(opnum);
    std::size_t next = 0;
    for (std::size_t p = 0; p < proc.params.size(); ++p) {
        const auto& param = proc.params[p];
        if (param.dir == Direction::Out) continue;
        std::u16string value = next < tokens.size() ? tokens[next].text : std::u16string();
        ++next;
        const std::string& pname = p < names.size() ? names[p] : std::to_string(p);
        if (param.shape == Shape::WChar && value.size() > 1) {
            error = proc.name + ": " + pname + " is one character, got " + std::to_string(value.size()) +
                    " UTF-16 units";
            return false;
        }
        if (param.shape == Shape::FixedArray && value.size() > param.size) {
            error = proc.name + ": " + pname + " holds " + std::to_string(param.size) + " units, got " +
                    std::to_string(value.size());
            return false;
        }
        s.inputs.push_back(std::move(value));
    }
    if (tokens.size() > next) {
        error = proc.name + " takes " + std::to_string(next) + " argument" + (next == 1 ? "" : "s") +
                ", got " + std::to_string(tokens.size());
        return false;
    }
    for (std::size_t i = 0; i < expected.size(); i += 2) {
        const std::string want = nx::sys::Utf16ToUtf8(expected[i].text);
        std::size_t index = proc.params.size();
        for (std::size_t p = 0; p < proc.params.size(); ++p)
            if (proc.params[p].dir != Direction::In && p < names.size() &&
                nx::sys::EqualsIgnoreAsciiCase(names[p], want))
                index = p;
        if (index == proc.params.size()) {
            error = proc.name + " has no [out] value '" + want + "'";
            return false;
        }
        s.expectations.emplace_back(index, expected[i + 1].text);
    }
    step = std::move(s);
    return true;
}

std::vector<std::string> CheckExpectations(const ScriptStep& step, nx::rpc::Args& args) {
    std::vector<std::string> problems;
    const auto& proc = nx::agent::AgentInterface().procedures[step.opnum];
    const auto& names = ParamNames(step.opnum);
    for (const auto& [index, want] : step.expectations) {
        std::u16string got;
        switch (proc.params[index].shape) {
            case Shape::Long:
                got = nx::sys::Utf8ToUtf16(std::to_string(args.Long(index)));
                break;
            case Shape::FixedArray: {
                const auto& a = args.Array(index);
                got.assign(a.begin(), std::find(a.begin(), a.end(), char16_t(0)));
                break;
            }
            default:
                got = args.Text(index);
                break;
        }
        if (got != want)
            problems.push_back(names[index] + " is \"" + nx::sys::Utf16ToUtf8(got) + "\", expected \"" +
                               nx::sys::Utf16ToUtf8(want) + "\"");
    }
    return problems;
}

nx::rpc::Args MakeArgs(const ScriptStep& step) {
    const auto& proc = nx::agent::AgentInterface().procedures[step.opnum];
    nx::rpc::Args args(proc);
    std::size_t next = 0;
    for (std::size_t p = 0; p < proc.params.size(); ++p) {
        const auto& param = proc.params[p];
        if (param.dir == Direction::Out) continue;
        const std::u16string& v = next < step.inputs.size() ? step.inputs[next] : std::u16string();
        ++next;
        switch (param.shape) {
            case Shape::WChar:
                args.WChar(p) = v.empty() ? char16_t(0) : v[0];
                break;
            case Shape::FixedArray: {
                auto& a = args.Array(p);
                a.assign(param.size, char16_t(0));
                std::copy(
                    v.begin(),
                    v.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(v.size(), param.size)),
                    a.begin());
                break;
            }
            default:
                args.Text(p) = v;
                break;
        }
    }
    return args;
}

}  // namespace nx::host
