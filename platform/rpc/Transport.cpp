#include "platform/rpc/Transport.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/system/Ascii.h"
#include "platform/system/Files.h"

namespace nx::rpc {
namespace {

// ---------------------------------------------------------------------------------------------
// Unix stream socket.

class SocketStream final : public ByteStream {
public:
    explicit SocketStream(int fd) : m_fd(fd) {}
    ~SocketStream() override { ::close(m_fd); }

    // Small reads (a PDU header, then the rest of a fragment) are served from a read-ahead
    // buffer, so that a whole fragment usually costs one system call.
    long Read(void* buf, std::size_t n, int timeoutMs) override {
        if (m_pos == m_end) {
            if (n >= kReadAhead) return Receive(buf, n, timeoutMs);
            if (m_ahead.empty()) m_ahead.resize(kReadAhead);
            long got = Receive(m_ahead.data(), m_ahead.size(), timeoutMs);
            if (got <= 0) return got;
            m_pos = 0;
            m_end = static_cast<std::size_t>(got);
        }
        std::size_t k = std::min(n, m_end - m_pos);
        std::memcpy(buf, m_ahead.data() + m_pos, k);
        m_pos += k;
        return static_cast<long>(k);
    }

    WriteResult WriteAll(const void* buf, std::size_t n, int timeoutMs) override {
        const auto* p = static_cast<const uint8_t*>(buf);
        bool wrote = false;
        while (n > 0) {
            ssize_t put = ::send(m_fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (put > 0) {
                p += put;
                n -= static_cast<std::size_t>(put);
                wrote = true;
                continue;
            }
            if (put < 0 && errno == EINTR) continue;
            if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pollfd pf{m_fd, POLLOUT, 0};
                int rc = ::poll(&pf, 1, timeoutMs);
                if (rc < 0 && errno == EINTR) continue;
                if (rc <= 0) return WriteResult::Failed;
                continue;
            }
            // A Unix socket whose peer has gone refuses the first byte: nothing was delivered.
            if (put < 0 && !wrote && (errno == EPIPE || errno == ECONNRESET)) return WriteResult::PeerClosed;
            return WriteResult::Failed;
        }
        return WriteResult::Ok;
    }

    bool HasBufferedBytes() const override { return m_pos != m_end; }

    bool PeerClosedOrReadable() override {
        if (HasBufferedBytes()) return true;
        pollfd p{m_fd, POLLIN | POLLRDHUP, 0};
        return ::poll(&p, 1, 0) != 0;
    }

    void Shutdown() override { ::shutdown(m_fd, SHUT_RDWR); }

private:
    static constexpr std::size_t kReadAhead = 16384;

    long Receive(void* buf, std::size_t n, int timeoutMs) {
        // Bytes already waiting are taken without a poll first, unless the last such try found
        // none: a caller that waits for each reply (the agent calling back the host) would
        // otherwise pay a failed recv per reply. A read that fills the buffer tries first again,
        // as more bytes are likely waiting. The wait itself is a poll for POLLIN, not a blocking
        // recv: a thread asleep in recv on a Unix socket is also woken each time its peer takes
        // bytes this side sent (the socket's room to write grows), a poll for reading is not, and
        // on an idle machine each such wake-up crosses to the other core and back.
        if (m_tryFirst) {
            ssize_t ready = ::recv(m_fd, buf, n, MSG_DONTWAIT);
            if (ready >= 0) return static_cast<long>(ready);
            if (errno == ECONNRESET) return 0;
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return kError;
            m_tryFirst = errno == EINTR;
        }
        for (;;) {
            pollfd p{m_fd, POLLIN, 0};
            int rc = ::poll(&p, 1, timeoutMs);
            if (rc < 0 && errno == EINTR) continue;
            if (rc < 0) return kError;
            if (rc == 0) return kTimeout;
            ssize_t got = ::recv(m_fd, buf, n, MSG_DONTWAIT);
            if (got >= 0) {
                m_tryFirst = static_cast<std::size_t>(got) == n;
                return static_cast<long>(got);
            }
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return errno == ECONNRESET ? 0 : kError;
        }
    }

    int m_fd;
    bool m_tryFirst = true;        // Receive tries a read before it polls
    std::vector<uint8_t> m_ahead;  // read-ahead, allocated on first use
    std::size_t m_pos = 0, m_end = 0;
};

// ---------------------------------------------------------------------------------------------
// In-memory pipe.

struct Channel {
    std::mutex m;
    std::condition_variable cv;
    std::deque<uint8_t> data;
    bool writerClosed = false;
    bool readerClosed = false;
};

class MemoryEnd final : public ByteStream {
public:
    MemoryEnd(std::shared_ptr<Channel> in, std::shared_ptr<Channel> out)
        : m_in(std::move(in)), m_out(std::move(out)) {}
    ~MemoryEnd() override { Shutdown(); }

    long Read(void* buf, std::size_t n, int timeoutMs) override {
        std::unique_lock lock(m_in->m);
        auto ready = [&] { return !m_in->data.empty() || m_in->writerClosed || m_in->readerClosed; };
        if (timeoutMs < 0) {
            m_in->cv.wait(lock, ready);
        } else if (!m_in->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
            return kTimeout;
        }
        if (m_in->readerClosed || m_in->data.empty()) return 0;
        std::size_t k = std::min(n, m_in->data.size());
        std::copy_n(m_in->data.begin(), k, static_cast<uint8_t*>(buf));
        m_in->data.erase(m_in->data.begin(), m_in->data.begin() + static_cast<std::ptrdiff_t>(k));
        return static_cast<long>(k);
    }

    WriteResult WriteAll(const void* buf, std::size_t n, int) override {
        std::lock_guard lock(m_out->m);
        if (m_out->readerClosed) return WriteResult::PeerClosed;
        if (m_out->writerClosed) return WriteResult::Failed;
        const auto* p = static_cast<const uint8_t*>(buf);
        m_out->data.insert(m_out->data.end(), p, p + n);
        m_out->cv.notify_all();
        return WriteResult::Ok;
    }

    bool HasBufferedBytes() const override { return false; }

    bool PeerClosedOrReadable() override {
        std::lock_guard lock(m_in->m);
        return !m_in->data.empty() || m_in->writerClosed;
    }

    void Shutdown() override {
        {
            std::lock_guard lock(m_in->m);
            m_in->readerClosed = true;
            m_in->cv.notify_all();
        }
        std::lock_guard lock(m_out->m);
        m_out->writerClosed = true;
        m_out->cv.notify_all();
    }

private:
    std::shared_ptr<Channel> m_in, m_out;
};

bool ReadExact(ByteStream& s, uint8_t* buf, std::size_t n, std::chrono::steady_clock::time_point deadline,
               ReadResult& why) {
    while (n > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            why = ReadResult::Stalled;
            return false;
        }
        long got = s.Read(buf, n, static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
        if (got == 0) {
            why = ReadResult::Eof;
            return false;
        }
        if (got == ByteStream::kTimeout) {
            why = ReadResult::Stalled;
            return false;
        }
        if (got < 0) {
            why = ReadResult::IoError;
            return false;
        }
        buf += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

// A uid in the form PeerPolicy.h compares: its 4 bytes, little-endian.
UserId UidUser(uid_t uid) {
    static_assert(sizeof(uid_t) == 4);
    const auto u = static_cast<uint32_t>(uid);
    return UserId{{static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u >> 16),
                   static_cast<uint8_t>(u >> 24)}};
}

bool StartsWithPipePrefix(std::string_view e) {
    static constexpr std::string_view prefix = "\\pipe\\";
    if (e.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (nx::sys::AsciiLower(e[i]) != prefix[i]) return false;
    return true;
}

}  // namespace

std::unique_ptr<ByteStream> MakeSocketStream(int fd) {
    return std::make_unique<SocketStream>(fd);
}

std::pair<std::unique_ptr<ByteStream>, std::unique_ptr<ByteStream>> MakeMemoryPipe() {
    auto a = std::make_shared<Channel>();
    auto b = std::make_shared<Channel>();
    return {std::make_unique<MemoryEnd>(a, b), std::make_unique<MemoryEnd>(b, a)};
}

ReadResult ReadFragment(ByteStream& s, pdu::Fragment& out, int midTimeoutMs, int firstByteTimeoutMs) {
    uint8_t header[pdu::kHeaderSize];
    long got;
    do {
        got = s.Read(header, sizeof header, firstByteTimeoutMs);
        if (got == ByteStream::kTimeout && firstByteTimeoutMs >= 0) return ReadResult::Timeout;
    } while (got == ByteStream::kTimeout);
    if (got == 0) return ReadResult::Eof;
    if (got < 0) return ReadResult::IoError;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(midTimeoutMs);
    ReadResult why = ReadResult::Ok;
    if (!ReadExact(s, header + got, sizeof header - static_cast<std::size_t>(got), deadline, why)) return why;
    switch (pdu::ParseHeader(header, out.hdr)) {
        case pdu::FrameStatus::Ok:
            break;
        case pdu::FrameStatus::BadVersion:
            return ReadResult::BadVersion;
        case pdu::FrameStatus::BadDrep:
            return ReadResult::BadDrep;
        default:
            return ReadResult::BadLength;
    }
    out.bytes.assign(header, header + sizeof header);
    out.bytes.resize(out.hdr.fragLength);  // at most 65535 bytes
    if (!ReadExact(s, out.bytes.data() + pdu::kHeaderSize, out.hdr.fragLength - pdu::kHeaderSize, deadline,
                   why))
        return why;
    return ReadResult::Ok;
}

// ---------------------------------------------------------------------------------------------
// Endpoints.

std::string PipeDirectory() {
    if (const char* d = std::getenv("NX_PIPE_DIR"); d && *d) return d;
    if (const char* r = std::getenv("XDG_RUNTIME_DIR"); r && *r) return std::string(r) + "/nx-pipes";
    return "/tmp/nx-pipes-" + std::to_string(::getuid());
}

RpcStatus PipeNameOfEndpoint(std::string_view endpoint, std::string& name) {
    if (!StartsWithPipePrefix(endpoint)) return RPC_S_INVALID_ENDPOINT_FORMAT;
    std::string_view rest = endpoint.substr(6);
    if (rest.empty() || rest == "." || rest == "..") return RPC_S_INVALID_ENDPOINT_FORMAT;
    for (char c : rest)
        if (c == '/' || c == '\\' || c == '\0') return RPC_S_INVALID_ENDPOINT_FORMAT;
    name.assign(rest);
    return RPC_S_OK;
}

std::string SecondaryAddressOf(std::string_view endpoint) {
    std::string name;
    if (PipeNameOfEndpoint(endpoint, name) != RPC_S_OK) return {};
    return "\\PIPE\\" + name;
}

RpcStatus EndpointSocketPath(std::string_view endpoint, std::string& path) {
    std::string name;
    if (RpcStatus st = PipeNameOfEndpoint(endpoint, name); st != RPC_S_OK) return st;
    for (char& c : name) c = nx::sys::AsciiLower(c);
    std::string p = PipeDirectory() + "/" + name;
    if (p.size() >= sizeof(sockaddr_un{}.sun_path)) return RPC_S_INVALID_ENDPOINT_FORMAT;
    path = std::move(p);
    return RPC_S_OK;
}

RpcStatus EnsurePipeDirectory(std::string& dir) {
    dir = PipeDirectory();
    // Create missing parents too (a fresh XDG_RUNTIME_DIR or NX_PIPE_DIR in a test world).
    for (std::size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/') continue;
        std::string part = dir.substr(0, pos);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return RPC_S_CANT_CREATE_ENDPOINT;
    }
    if (RpcStatus st = CheckPipeDirectory(dir); st != RPC_S_OK)
        return st == RPC_S_SERVER_UNAVAILABLE ? RPC_S_CANT_CREATE_ENDPOINT : st;
    return RPC_S_OK;
}

RpcStatus CheckPipeDirectory(const std::string& dir) {
    // lstat: a symbolic link in the directory's place (another user may have made it before us
    // in a shared /tmp) is refused, not followed.
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0)
        return errno == ENOENT ? RPC_S_SERVER_UNAVAILABLE : RPC_S_ACCESS_DENIED;
    std::string why;
    if (S_ISLNK(st.st_mode)) {
        why = "is a symbolic link";
    } else if (!S_ISDIR(st.st_mode)) {
        why = "is not a directory";
    } else if (!IsSameUser(UidUser(st.st_uid), ProcessUser())) {
        why = "belongs to user " + std::to_string(st.st_uid);
    } else if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        // Others could plant a socket under an endpoint's name. An existing directory is never
        // re-moded: the variable could name a shared folder.
        why = "may be written by other users";
    }
    if (why.empty()) return RPC_S_OK;
    TraceRpc("rpc: pipe directory " + dir + " refused: it " + why);
    return RPC_S_ACCESS_DENIED;
}

UserId ProcessUser() {
    return UidUser(::geteuid());
}

std::optional<UserId> PeerUser(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred)
        return std::nullopt;
    return UidUser(cred.uid);
}

RpcStatus ConnectEndpoint(std::string_view endpoint, std::unique_ptr<ByteStream>& out, int timeoutMs) {
    std::string path;
    if (RpcStatus st = EndpointSocketPath(endpoint, path); st != RPC_S_OK) return st;
    if (RpcStatus st = CheckPipeDirectory(PipeDirectory()); st != RPC_S_OK) return st;
    nx::sys::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) return RPC_S_OUT_OF_RESOURCES;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    // Non-blocking, so that a listener whose backlog is full (it stopped accepting) is given
    // up on after timeoutMs instead of holding the caller for ever.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) break;
        const int err = errno;
        if (err == EINTR) continue;
        if (err != EAGAIN) return RPC_S_SERVER_UNAVAILABLE;
        if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) {
            TraceRpc("rpc: " + std::string(endpoint) + " did not accept a connection within " +
                     std::to_string(timeoutMs) + " ms");
            return RPC_S_SERVER_TOO_BUSY;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Whoever listens on our endpoint must be us: a socket of another user is never trusted
    // with a call (it would receive the host's or the agent's documents).
    if (auto refusal = PeerRefusal(PeerRole::Listener, endpoint, PeerUser(fd.get()), ProcessUser())) {
        TraceRpc(*refusal);
        return RPC_S_ACCESS_DENIED;
    }
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return RPC_S_OUT_OF_RESOURCES;
    out = MakeSocketStream(fd.release());
    return RPC_S_OK;
}

bool EndpointIsListening(std::string_view endpoint) {
    std::unique_ptr<ByteStream> s;
    return ConnectEndpoint(endpoint, s) == RPC_S_OK;
}

namespace {
std::mutex g_traceLock;
std::function<void(std::string_view)> g_traceSink;
}  // namespace

void SetTraceSink(std::function<void(std::string_view)> sink) {
    std::lock_guard lock(g_traceLock);
    g_traceSink = std::move(sink);
}

void TraceRpc(const std::string& text) {
    std::function<void(std::string_view)> sink;
    {
        std::lock_guard lock(g_traceLock);
        sink = g_traceSink;
    }
    if (sink) sink(text);
}

}  // namespace nx::rpc
