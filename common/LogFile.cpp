#include "common/LogFile.h"

#include <atomic>
#include <cassert>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <vector>

#include "platform/registry/Registry.h"
#include "platform/system/Ascii.h"
#include "platform/system/DebugOutput.h"
#include "platform/system/LockedFile.h"
#include "platform/system/Paths.h"
#include "platform/system/Utf.h"

namespace {

// Written only by Init (on the main thread before any other thread traces), read afterwards.
std::atomic<uint32_t> g_switch{0};
std::mutex g_pathLock;
std::string g_logFilePath;
std::mutex g_fileLock;
// The lines of this thread kept back by a CTraceHold, when one is open.
thread_local std::vector<std::string>* t_hold = nullptr;

void SetLogFilePath(std::string path) {
    std::lock_guard<std::mutex> guard(g_pathLock);
    g_logFilePath = std::move(path);
}

void AppendToFile(const std::string& path, std::string_view line) {
    if (path.empty()) return;
    const std::u16string units = nx::sys::Utf8ToUtf16(line);
    std::vector<unsigned char> bytes;
    bytes.reserve(units.size() * 2);
    for (char16_t u : units) {
        bytes.push_back(static_cast<unsigned char>(u & 0xFF));
        bytes.push_back(static_cast<unsigned char>(u >> 8));
    }
    // The process's own lock orders its threads; the file's lock orders the processes.
    static constexpr char kBom[2] = {'\xFF', '\xFE'};
    std::lock_guard<std::mutex> guard(g_fileLock);
    nx::sys::AppendToLockedFile(path,
                                std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                                std::string_view(kBom, sizeof kBom));
}

// The log file of a module path: the file name's extension replaced by ".log".
std::string LogPathFor(std::string_view modulePath) {
    const auto slash = modulePath.rfind(nx::sys::kPathSeparator);
    const auto dot = modulePath.rfind('.');
    const bool dotInName = dot != std::string_view::npos && (slash == std::string_view::npos || dot > slash);
    std::string path(dotInName ? modulePath.substr(0, dot) : modulePath);
    path += ".log";
    return std::string(nx::sys::TrimAscii(path, " \t\r\n"));
}

}  // namespace

void CLogFile::Init(std::string_view baseName, bool isLibrary, const uint32_t& defaultFlags) {
    g_switch = defaultFlags;
    std::string moduleName(baseName);
    moduleName += isLibrary ? ".dll" : ".exe";
    InitWithModulePath(nx::sys::ModuleFileName(moduleName), defaultFlags);
}

void CLogFile::InitWithModulePath(std::string_view modulePath, const uint32_t& defaultFlags) {
    g_switch = defaultFlags;
    SetLogFilePath("");
    if (modulePath.empty()) {
        nx::sys::OutputDebugString("CLogFile::Init - Failed to Get Module Name\r\n");
        return;
    }
    nx::reg::RegKey key;
    if (nx::reg::RegKey::Open(nx::reg::Hive::CurrentUser, kRegistryKey, key) != nx::reg::ERROR_SUCCESS) {
        nx::sys::OutputDebugString("CLogFile::Init - Failed to Open Register Key\r\n");
        return;
    }
    uint32_t value = 0;
    uint32_t size = sizeof value;
    if (key.QueryValue(modulePath, nullptr, &value, size) != nx::reg::ERROR_SUCCESS) {
        nx::sys::OutputDebugString("CLogFile::Init - Failed to Query Register Value\r\n");
        return;
    }
    g_switch = value;  // the data bytes (at most 4), whatever the registry type says
    SetLogFilePath(LogPathFor(modulePath));
}

void CLogFile::Trace(const char* format, ...) {
    if (g_switch.load() == 0 || format == nullptr) return;
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string line(kTag);
    if (n > 0) {
        const std::size_t tag = line.size();
        line.resize(tag + static_cast<std::size_t>(n) + 1);
        std::vsnprintf(line.data() + tag, static_cast<std::size_t>(n) + 1, format, args);
        line.resize(tag + static_cast<std::size_t>(n));
    }
    va_end(args);
    WriteLine(line);
}

void CLogFile::WriteLine(std::string_view line) {
    const uint32_t sw = g_switch.load();
    if (sw == 0 || line.empty()) return;
    if (t_hold != nullptr) {
        t_hold->emplace_back(line);
        return;
    }
    if (sw & LOG_TO_DEBUGGER) nx::sys::OutputDebugString(line);
    if (!(sw & LOG_TO_FILE)) return;
    AppendToFile(LogFilePath(), line);
}

CTraceHold::CTraceHold() {
    assert(t_hold == nullptr);  // one hold per thread
    t_hold = &m_lines;
}

CTraceHold::~CTraceHold() {
    if (m_holding) t_hold = nullptr;
}

std::vector<std::string> CTraceHold::Take() {
    if (m_holding) t_hold = nullptr;
    m_holding = false;
    return std::move(m_lines);
}

uint32_t CLogFile::Switch() {
    return g_switch.load();
}

std::string CLogFile::LogFilePath() {
    std::lock_guard<std::mutex> guard(g_pathLock);
    return g_logFilePath;
}
