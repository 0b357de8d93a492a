#include "platform/system/DebugOutput.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/system/Files.h"

namespace nx::sys {
namespace {

struct Channel {
    std::mutex lock;
    bool configured = false;
    int fd = -1;  // -1: silent
    bool ownsFd = false;
    std::function<void(std::string_view)> testSink;

    void Configure() {
        configured = true;
        const char* sw = std::getenv("NX_DEBUG_OUTPUT");
        if (sw == nullptr || *sw == '\0') return;
        const std::string target(sw);
        if (target == "stderr") {
            fd = STDERR_FILENO;
        } else if (target == "stdout") {
            fd = STDOUT_FILENO;
        } else {
            // Non-blocking: a FIFO without a reader (or one that stops reading) must not stall
            // the process; its texts are dropped instead.
            fd = OpenPrivateForAppend(target, /*nonBlocking=*/true);
            ownsFd = fd >= 0;
        }
    }

    ~Channel() {
        if (ownsFd) close(fd);
    }
};

Channel& TheChannel() {
    static Channel channel;
    return channel;
}

void WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
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
    if (c.fd >= 0) WriteAll(c.fd, text);
}

void SetDebugOutputSinkForTesting(std::function<void(std::string_view)> sink) {
    Channel& c = TheChannel();
    std::lock_guard<std::mutex> guard(c.lock);
    c.testSink = std::move(sink);
}

}  // namespace nx::sys
