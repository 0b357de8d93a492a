// The debugger-output channel on Windows: OutputDebugStringW, which a debugger or a viewer of
// debug strings shows and which costs nothing when none listens. NX_DEBUG_OUTPUT=stderr or
// stdout also copies each text there (so a console run, or Wine's, can see them).
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/system/DebugOutput.h"
#include "platform/system/Win.h"

namespace nx::sys {
namespace {

struct Channel {
    std::mutex lock;
    bool configured = false;
    std::FILE* copy = nullptr;
    std::function<void(std::string_view)> testSink;

    void Configure() {
        configured = true;
        const char* sw = std::getenv("NX_DEBUG_OUTPUT");
        if (sw == nullptr) return;
        const std::string target(sw);
        if (target == "stderr") copy = stderr;
        if (target == "stdout") copy = stdout;
    }
};

Channel& TheChannel() {
    static Channel channel;
    return channel;
}

}  // namespace

void OutputDebugString(std::string_view text) {
    Channel& c = TheChannel();
    std::lock_guard<std::mutex> guard(c.lock);
    if (c.testSink) {
        c.testSink(text);
        return;
    }
    if (!c.configured) c.Configure();
    ::OutputDebugStringW(win::Wide(text).c_str());
    if (c.copy != nullptr) {
        std::fwrite(text.data(), 1, text.size(), c.copy);
        std::fflush(c.copy);
    }
}

void SetDebugOutputSinkForTesting(std::function<void(std::string_view)> sink) {
    Channel& c = TheChannel();
    std::lock_guard<std::mutex> guard(c.lock);
    c.testSink = std::move(sink);
}

}  // namespace nx::sys
