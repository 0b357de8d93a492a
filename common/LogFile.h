// CLogFile: the agent's diagnostic trace.
//
// One process-wide trace switch decides what a trace call does:
//   0                  nothing (the arguments are not even formatted)
//   LOG_TO_FILE (0x2)  append the line to the log file
//   LOG_TO_DEBUGGER    echo the line on the debugger-output channel (platform/system/DebugOutput.h:
//            (0x4)     silent unless NX_DEBUG_OUTPUT is set)
// The switch comes from HKEY_CURRENT_USER "SoftWare\Varnelle\LogFiles", the DWORD value named by
// the full module path (for the agent: the absolute path of the NxAgentOutlook64 executable, as
// the system reports it; platform/system/Paths.h). With the key or the value absent the switch keeps the
// default that Init received and no file is written.
//
// The log file sits beside the module: the module path with the extension of its file name
// replaced by ".log" (".log" is appended when the file name has no extension, which is the
// case for a Linux executable: /opt/agent/NxAgentOutlook64 -> /opt/agent/NxAgentOutlook64.log).
// It is UTF-16LE: FF FE when the file is empty, then each line's UTF-16 code units, no
// terminator, no time stamp; a line is "[NxAgentForOutlook64] " followed by the caller's text,
// with whatever line end the caller's format holds. The file is appended to, never truncated,
// opened and closed for every line, private to the user when it is created. A lock around the
// file steps (and the file's own exclusive lock, platform/system/LockedFile.h, for another
// process writing the same file) keeps concurrent lines whole; a line that cannot be written is
// dropped silently.
//
// Formatting: callers pass UTF-8 printf formats. The conversions are those of C printf
// (checked by the compiler): %s takes a UTF-8 `const char*` (a std::string's c_str()), %d, %u,
// %x, %08X, %ld ... take the integer types C printf names. A UTF-16 text is converted by the
// caller with nx::sys::Utf16ToUtf8 first. The finished UTF-8 line is written as UTF-16LE.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr uint32_t LOG_TO_FILE = 0x2;
inline constexpr uint32_t LOG_TO_DEBUGGER = 0x4;

class CLogFile {
public:
    // baseName without extension; isLibrary picks "%s.dll" or "%s.exe" as the module's file
    // name; defaultFlags becomes the switch first and stays when Init stops early. Called once
    // at start-up, before any other thread traces.
    static void Init(std::string_view baseName, bool isLibrary, const uint32_t& defaultFlags);

    // Init's steps after the module path is known: sets the default switch, then reads the
    // registry value named `modulePath` and derives the log file from it. An empty path is the
    // failed module-path query. Init calls it; tests call it with a path of their own.
    static void InitWithModulePath(std::string_view modulePath, const uint32_t& defaultFlags);

    // The format is checked as C99's printf reads it (on Windows the build uses mingw's C99
    // printf family, __USE_MINGW_ANSI_STDIO, not the system runtime's dialect).
#if defined(__MINGW32__)
    static void Trace(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
#else
    static void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
#endif

    // Writes one finished line (UTF-8) to the enabled sinks; nothing for an empty line.
    static void WriteLine(std::string_view line);

    static uint32_t Switch();
    static std::string LogFilePath();

    // The registry key the switch is read from (under HKEY_CURRENT_USER).
    static constexpr const char* kRegistryKey = "SoftWare\\Varnelle\\LogFiles";
    static constexpr const char* kTag = "[NxAgentForOutlook64] ";
};

// Keeps back the lines the calling thread traces while it lives (other threads' lines are
// written as usual), so that work done ahead of time can be traced where it would have been
// traced had it waited: Take ends the hold and hands the lines over for CLogFile::WriteLine, and
// lines still held when the hold ends are dropped. One hold per thread at a time.
class CTraceHold {
public:
    CTraceHold();
    ~CTraceHold();
    CTraceHold(const CTraceHold&) = delete;
    CTraceHold& operator=(const CTraceHold&) = delete;

    // The lines held so far, in order; nothing is held after it.
    std::vector<std::string> Take();

private:
    std::vector<std::string> m_lines;
    bool m_holding = true;
};
