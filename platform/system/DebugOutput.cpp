// The switch and its target, the same on both systems; Windows also hands every text to the
// debugger (DebugOutput_win.cpp).
#include "platform/system/DebugOutput.h"

#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/system/Files.h"

namespace nx::sys {

#ifdef _WIN32
// OutputDebugStringW: shown by a debugger or a viewer of debug strings, free when none listens.
void SendToDebugger(std::string_view text);
#else
// Linux has no debugger channel: the switch's target is the only one.
static void SendToDebugger(std::string_view) {}
#endif

namespace {

constexpr int kStdout = 1;
constexpr int kStderr = 2;

struct Channel {
    std::mutex lock;
    bool configured = false;
    UniqueFd file;  // a file target, ours to close
    int fd = -1;    // where texts go; -1: nowhere
    std::function<void(std::string_view)> testSink;

    void Configure() {
        configured = true;
        const char* sw = std::getenv("NX_DEBUG_OUTPUT");
        if (sw == nullptr || *sw == '\0') return;
        const std::string target(sw);
        if (target == "stderr") {
            fd = kStderr;
        } else if (target == "stdout") {
            fd = kStdout;
        } else {
            // Non-blocking: a FIFO without a reader (or one that stops reading) must not stall
            // the process; its texts are dropped instead.
            file = UniqueFd(OpenPrivateForAppend(target, /*nonBlocking=*/true));
            fd = file.get();
        }
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
    SendToDebugger(text);
    if (c.fd >= 0) WriteAllTo(c.fd, text);  // a target that cannot take the text drops it
}

void SetDebugOutputSinkForTesting(std::function<void(std::string_view)> sink) {
    Channel& c = TheChannel();
    std::lock_guard<std::mutex> guard(c.lock);
    c.testSink = std::move(sink);
}

}  // namespace nx::sys
