#include "tools/nxhost/Output.h"

#include <cstdio>

#include "platform/system/Utf.h"

namespace nx::host {

std::mutex& OutputLock() {
    static std::mutex lock;
    return lock;
}

void Print(const std::string& text) {
    std::lock_guard<std::mutex> guard(OutputLock());
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void PrintError(const std::string& text) {
    std::lock_guard<std::mutex> guard(OutputLock());
    std::fflush(stdout);
    std::fprintf(stderr, "nxhost: %s\n", text.c_str());
    std::fflush(stderr);
}

void PrintUsageHint(const char* helpOption, const char* what) {
    std::lock_guard<std::mutex> guard(OutputLock());
    std::fprintf(stderr, "(run \"nxhost %s\" for %s)\n", helpOption, what);
    std::fflush(stderr);
}

std::string DescribeStatus(nx::rpc::RpcStatus s) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", s);
    const std::string name = nx::rpc::RpcStatusName(s);
    return "RPC status " + std::to_string(s) + " (" + hex + (name.empty() ? "" : ", " + name) + ")";
}

std::string Quote(std::u16string_view text) {
    const std::string utf8 = nx::sys::Utf16ToUtf8(text);
    std::string out = "\"";
    for (unsigned char c : utf8) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\x%02X", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

std::string Grouped(long long n) {
    std::string digits = std::to_string(n);
    for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3)
        digits.insert(static_cast<std::size_t>(i), ",");
    return digits;
}

}  // namespace nx::host
