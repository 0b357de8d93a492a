// Server: endpoints, interface registry, the accept loop, connection threads, call admission
// and the stop sequence.
//
// Thread model: Listen runs the accept loop on the caller's thread. Each accepted connection
// gets its own thread, which reads fragments, runs complete calls (handler included) and
// writes the replies; calls on one connection are therefore sequential, calls on different
// connections concurrent. At most maxCalls calls run at once (a call beyond that gets a
// RPC_S_SERVER_TOO_BUSY fault). The connection table holds at most kMaxConnections
// connections, and never so many that fewer than kDescriptorReserve descriptors stay free;
// beyond that the connection idle longest is evicted for the new one, or, none being idle, the
// new one is accepted and closed at once (its client sees RPC_S_CALL_FAILED_DNE). Peers of
// another user are closed at once. Half-received calls share kMaxPartialCallBytes.
//
// A call's slot is free once its handler returns, before its reply is written: a client that
// calls again the moment it has the reply is never refused for the call it just finished.
//
// StopListening marks the server stopping and wakes the accept loop. Listen then stops
// accepting, waits until every admitted call has written its reply (the stopping call
// included), refuses later requests with RPC_S_SERVER_TOO_BUSY, closes the endpoints and the
// connections, joins every connection thread and returns.
#include "platform/rpc/Server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/rpc/Association.h"
#include "platform/rpc/Ndr.h"
#include "platform/system/Ascii.h"
#include "platform/system/Files.h"

namespace nx::rpc {

extern thread_local const RegisteredIf* t_currentInterface;

namespace {

struct Listener {
    std::string endpoint;
    std::string secondaryAddress;
    std::string path;
    int fd = -1;
    int lockFd = -1;  // flock on "<path>.lock", held while the endpoint is ours
    dev_t dev = 0;    // the socket file we created, so that we only ever remove that one
    ino_t ino = 0;
};

struct Connection {
    std::shared_ptr<ByteStream> stream;
    std::thread thread;
    std::atomic<bool> done{false};
    // Waiting for a new PDU with no call under way: the connection may be evicted. The accept
    // loop claims it by swapping this to false; the connection thread, when a PDU begins, does
    // the same, so exactly one of them wins.
    std::atomic<bool> idle{false};
    std::atomic<int64_t> idleSinceNs{0};
};

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

RpcStatus CheckProtseq(std::string_view protseq) {
    if (nx::sys::EqualsIgnoreAsciiCase(protseq, "ncacn_np")) return RPC_S_OK;
    for (std::string_view known : {"ncalrpc", "ncacn_ip_tcp", "ncadg_ip_udp", "ncacn_http", "ncacn_hvsocket"})
        if (nx::sys::EqualsIgnoreAsciiCase(protseq, known)) return RPC_S_PROTSEQ_NOT_SUPPORTED;
    return RPC_S_INVALID_RPC_PROTSEQ;
}

// True when the socket at l.path is still the one this listener created.
bool StillOurSocket(const Listener& l) {
    struct stat st {};
    return ::lstat(l.path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_dev == l.dev &&
           st.st_ino == l.ino;
}

void CloseListener(Listener& l) {
    if (l.fd >= 0) {
        // Never unlink a socket we did not create (another server may have replaced ours).
        if (StillOurSocket(l)) ::unlink(l.path.c_str());
        ::close(l.fd);
        l.fd = -1;
    }
    if (l.lockFd >= 0) {
        ::close(l.lockFd);  // releases the flock
        l.lockFd = -1;
    }
}

// Takes the endpoint: the lock file first (so that two servers starting together cannot both
// replace a stale socket), then a live-server check, then the socket itself.
RpcStatus OpenListener(Listener& l) {
    std::string lockPath = l.path + ".lock";
    int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd < 0) return RPC_S_CANT_CREATE_ENDPOINT;
    if (::flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        ::close(lockFd);
        return RPC_S_DUPLICATE_ENDPOINT;
    }
    struct stat st {};
    if (::lstat(l.path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode) || st.st_uid != ::geteuid()) {
            ::close(lockFd);
            TraceRpc("rpc: " + l.path + " is in the way and not a socket of ours; left alone");
            return RPC_S_CANT_CREATE_ENDPOINT;  // something that is not ours sits there
        }
        if (EndpointIsListening(l.endpoint)) {  // a server without the lock (should not happen)
            ::close(lockFd);
            return RPC_S_DUPLICATE_ENDPOINT;
        }
        ::unlink(l.path.c_str());  // stale: its server died
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        ::close(lockFd);
        return RPC_S_OUT_OF_RESOURCES;
    }
    // The socket is made under a name of its own and renamed into place once it listens: a
    // client that sees the endpoint's file (a host waiting for the agent's pipe to appear) must
    // find a server behind it, never a socket that refuses. The lock makes the name ours.
    std::string made = l.path + "~";
    sockaddr_un addr{};
    if (made.size() >= sizeof addr.sun_path) made = l.path;  // no room for the name: made in place
    ::unlink(made.c_str());
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, made.c_str(), made.size() + 1);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int err = errno;
        ::close(fd);
        ::close(lockFd);
        return err == EADDRINUSE ? RPC_S_DUPLICATE_ENDPOINT : RPC_S_CANT_CREATE_ENDPOINT;
    }
    ::chmod(made.c_str(), 0600);
    if (::listen(fd, SOMAXCONN) != 0 || (made != l.path && ::rename(made.c_str(), l.path.c_str()) != 0)) {
        ::close(fd);
        ::unlink(made.c_str());
        ::close(lockFd);
        return RPC_S_CANT_CREATE_ENDPOINT;
    }
    if (::lstat(l.path.c_str(), &st) == 0) {
        l.dev = st.st_dev;
        l.ino = st.st_ino;
    }
    l.fd = fd;
    l.lockFd = lockFd;
    return RPC_S_OK;
}

}  // namespace

struct Server::Impl final : Dispatcher {
    std::mutex m;
    std::condition_variable cv;
    std::vector<Listener> listeners;
    std::vector<std::shared_ptr<RegisteredIf>> ifaces;
    unsigned protseqMaxCalls = 1234;
    unsigned maxCalls = 1234;
    bool listening = false;
    bool stopping = false;
    unsigned inFlight = 0;
    unsigned repliesUnsent = 0;  // calls ended whose replies are still being written
    int wake[2] = {-1, -1};
    std::list<std::unique_ptr<Connection>> connections;
    std::atomic<uint32_t> nextGroup{0x5a00};
    std::size_t served = 0;
    // How long a PDU that has begun, or a call whose next fragment is due, may take to arrive.
    // NX_RPC_STALL_TIMEOUT_MS shortens it for tests.
    std::atomic<int> midPduTimeoutMs{
        nx::sys::MillisecondsOr(std::getenv("NX_RPC_STALL_TIMEOUT_MS"), kMidPduTimeoutMs)};
    std::size_t maxConnections = kMaxConnections;
    std::size_t reassemblyBudget = kMaxPartialCallBytes;
    std::size_t reassemblyHeld = 0;  // guarded by m
    uint64_t baseDescriptors = 0;    // open when Listen began: the process's own, not connections'

    ~Impl() override {
        std::unique_lock lock(m);
        if (listening) {
            stopping = true;
            WakeLocked();
            cv.wait(lock, [&] { return !listening; });
        }
        lock.unlock();
        CloseConnections();
        for (Listener& l : listeners) CloseListener(l);
    }

    void WakeLocked() {
        if (wake[1] >= 0) {
            char c = 1;
            [[maybe_unused]] ssize_t n = ::write(wake[1], &c, 1);
        }
    }

    // -- Dispatcher ----------------------------------------------------------------------------
    std::shared_ptr<RegisteredIf> FindInterface(const pdu::SyntaxId& abstract) override {
        std::lock_guard lock(m);
        uint16_t major = static_cast<uint16_t>(abstract.version),
                 minor = static_cast<uint16_t>(abstract.version >> 16);
        for (const auto& r : ifaces)
            if (r->iface.uuid == abstract.uuid && r->iface.versionMajor == major &&
                minor <= r->iface.versionMinor)
                return r;
        return nullptr;
    }

    RpcStatus BeginCall(RegisteredIf& reg) override {
        std::lock_guard lock(m);
        if (!reg.registered) return NCA_S_UNK_IF;
        if (stopping || inFlight >= maxCalls) return RPC_S_SERVER_TOO_BUSY;
        ++inFlight;
        ++reg.active;
        return RPC_S_OK;
    }

    // The handler has returned: the slot is free before the reply goes out, so a client that
    // reads the reply and calls again at once (on another connection too) finds room.
    void EndCall(RegisteredIf& reg) override {
        std::lock_guard lock(m);
        assert(inFlight > 0 && reg.active > 0);  // every end matches an admission
        --inFlight;
        --reg.active;
        ++repliesUnsent;
        cv.notify_all();
    }

    // The reply of an ended call is written (or its connection failed): a stop may go on.
    void ReplySent() {
        std::lock_guard lock(m);
        assert(repliesUnsent > 0);
        --repliesUnsent;
        cv.notify_all();
    }

    uint32_t NewAssociationGroup() override { return nextGroup++; }

    bool ReserveReassembly(std::size_t bytes) override {
        std::lock_guard lock(m);
        if (reassemblyHeld + bytes > reassemblyBudget) return false;
        reassemblyHeld += bytes;
        return true;
    }

    void ReleaseReassembly(std::size_t bytes) override {
        std::lock_guard lock(m);
        assert(bytes <= reassemblyHeld);  // every release matches a reservation
        reassemblyHeld -= bytes;
    }

    // -- connections ---------------------------------------------------------------------------
    void Attach(std::unique_ptr<ByteStream> stream, std::string secondaryAddress) {
        auto conn = std::make_unique<Connection>();
        conn->stream = std::move(stream);
        Connection* c = conn.get();
        std::lock_guard lock(m);
        ++served;
        connections.push_back(std::move(conn));
        try {
            c->thread = std::thread([this, c, addr = std::move(secondaryAddress)] {
                try {
                    Serve(*c, addr);
                } catch (...) {
                    // Memory ran out outside a call (reassembling a request, framing a reply):
                    // this connection ends, the server goes on. Admitted calls end in Execute.
                }
                c->stream->Shutdown();
                c->done = true;
            });
        } catch (const std::system_error&) {
            // No thread to be had (a thread or memory limit): the connection is closed at
            // once, its client sees the bind fail, and the server goes on serving the others.
            connections.pop_back();
        }
    }

    void Serve(Connection& conn, const std::string& secondaryAddress) {
        ByteStream& stream = *conn.stream;
        Association assoc(*this, secondaryAddress);
        for (;;) {
            pdu::Fragment f;
            const int timeoutMs = midPduTimeoutMs;
            // Between calls the connection may idle (and be evicted when the table is full);
            // a call whose next fragment is due must go on within the timeout, so a parked
            // half-call does not pin its memory.
            const bool between = !assoc.Reassembling();
            if (between) {
                conn.idleSinceNs = NowNs();
                conn.idle = true;
            }
            ReadResult rr = ReadFragment(stream, f, timeoutMs, between ? -1 : timeoutMs);
            if (between && !conn.idle.exchange(false)) return;  // evicted by the accept loop
            if ((rr == ReadResult::Timeout || rr == ReadResult::Stalled) && !between) {
                TraceRpc("rpc: a call's next fragment did not come within " + std::to_string(timeoutMs) +
                         " ms; connection closed");
                return;
            }
            if (rr == ReadResult::BadVersion && f.hdr.ptype == pdu::kBind) {
                auto nak = pdu::EncodeBindNak(f.hdr.callId, pdu::kNakProtocolVersionNotSupported);
                stream.WriteAll(nak.data(), nak.size(), timeoutMs);
                return;
            }
            if (rr != ReadResult::Ok) return;  // end of stream, or bytes we cannot frame
            Association::Output out;
            assoc.OnFragment(f, out);
            if (out.admitted) EndCall(*out.admitted);
            bool ok = true;
            for (const auto& p : out.pdus)
                if (!(ok = stream.WriteAll(p.data(), p.size(), timeoutMs) == WriteResult::Ok)) break;
            if (out.admitted) ReplySent();
            if (!ok || out.close) return;
        }
    }

    void ReapLocked(std::vector<std::thread>& finished) {
        for (auto it = connections.begin(); it != connections.end();) {
            if ((*it)->done) {
                finished.push_back(std::move((*it)->thread));
                it = connections.erase(it);
            } else {
                ++it;
            }
        }
    }

    std::size_t LiveConnectionsLocked() const {
        return static_cast<std::size_t>(
            std::count_if(connections.begin(), connections.end(), [](const auto& c) { return !c->done; }));
    }

    // Ends the connection that has been idle longest; false when none is idle.
    bool EvictOldestIdleLocked() {
        for (;;) {
            Connection* oldest = nullptr;
            for (const auto& c : connections)
                if (!c->done && c->idle && (!oldest || c->idleSinceNs < oldest->idleSinceNs))
                    oldest = c.get();
            if (!oldest) return false;
            // Claimed here, it can no longer start a call; lost to its own thread, look again.
            if (oldest->idle.exchange(false)) {
                oldest->stream->Shutdown();
                return true;
            }
        }
    }

    // Whether a connection just accepted on descriptor `fd` may be served: the table has room
    // and enough descriptors stay free for the process's own files, or an idle connection made
    // way for it.
    bool AdmitLocked(int fd) {
        // Every entry of the table holds its descriptor until it is reaped, ended or not; the
        // descriptor number alone is no measure (a freed low number is handed out first).
        const uint64_t limit = nx::sys::OpenFileLimit();
        const uint64_t inUse = baseDescriptors + connections.size();
        const bool descriptorsLow = limit != 0 && (inUse + kDescriptorReserve > limit ||
                                                   static_cast<uint64_t>(fd) + kDescriptorReserve >= limit);
        if (!descriptorsLow && LiveConnectionsLocked() < maxConnections) return true;
        if (EvictOldestIdleLocked()) return true;
        TraceRpc(std::string("rpc: connection refused: ") +
                 (descriptorsLow ? "the descriptors left are kept for the process's own files"
                                 : std::to_string(maxConnections) + " connections served") +
                 " and none is idle");
        return false;
    }

    void CloseConnections() {
        std::list<std::unique_ptr<Connection>> all;
        {
            std::lock_guard lock(m);
            all.swap(connections);
        }
        for (auto& c : all) c->stream->Shutdown();
        for (auto& c : all) c->thread.join();
    }

    RpcStatus Listen(unsigned maxCallsArg) {
        {
            std::lock_guard lock(m);
            if (listening) return RPC_S_ALREADY_LISTENING;
            if (listeners.empty()) return RPC_S_NO_PROTSEQS_REGISTERED;
            for (Listener& l : listeners)
                if (l.fd < 0)
                    if (RpcStatus st = OpenListener(l); st != RPC_S_OK) return st;
            if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) return RPC_S_OUT_OF_RESOURCES;
            maxCalls = std::max(1u, std::min(protseqMaxCalls, maxCallsArg));
            baseDescriptors = nx::sys::OpenDescriptorCount() - connections.size();
            listening = true;
            stopping = false;
        }
        AcceptLoop();
        {
            std::unique_lock lock(m);
            cv.wait(lock, [&] { return inFlight == 0 && repliesUnsent == 0; });
            for (Listener& l : listeners) CloseListener(l);
        }
        CloseConnections();
        std::lock_guard lock(m);
        ::close(wake[0]);
        ::close(wake[1]);
        wake[0] = wake[1] = -1;
        listening = false;
        cv.notify_all();
        return RPC_S_OK;
    }

    void AcceptLoop() {
        std::vector<pollfd> fds;
        std::vector<const Listener*> owners;
        {
            std::lock_guard lock(m);
            fds.push_back({wake[0], POLLIN, 0});
            for (const Listener& l : listeners) {
                fds.push_back({l.fd, POLLIN, 0});
                owners.push_back(&l);
            }
        }
        for (;;) {
            int rc = ::poll(fds.data(), fds.size(), 1000);
            std::vector<std::thread> finished;
            bool stop = false;
            {
                std::lock_guard lock(m);
                ReapLocked(finished);
                stop = stopping;
            }
            for (auto& t : finished)
                t.join();  // joined before leaving: a joinable thread must not be destroyed
            if (stop) break;
            if (rc <= 0) continue;
            for (std::size_t i = 1; i < fds.size(); ++i) {
                if (!(fds[i].revents & POLLIN)) continue;
                int fd = ::accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0) {
                    // Out of descriptors: make way by ending the oldest idle connection, else
                    // wait a little instead of spinning on the listener, which stays readable
                    // while the connection is queued.
                    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                        bool evicted;
                        {
                            std::lock_guard lock(m);
                            evicted = EvictOldestIdleLocked();
                        }
                        std::this_thread::sleep_for(std::chrono::milliseconds(evicted ? 5 : 50));
                    }
                    continue;
                }
                // Only this user's processes are served: another user's could otherwise drive
                // the store (the pipe directory already keeps them out; this is the last check).
                if (auto refusal =
                        PeerRefusal(PeerRole::Caller, owners[i - 1]->endpoint, PeerUser(fd), ProcessUser())) {
                    TraceRpc(*refusal);
                    ::close(fd);
                    continue;
                }
                bool admitted;
                {
                    std::lock_guard lock(m);
                    admitted = AdmitLocked(fd);
                }
                if (!admitted) {
                    ::close(fd);  // the client sees its bind fail: RPC_S_CALL_FAILED_DNE
                    continue;
                }
                Attach(MakeSocketStream(fd), owners[i - 1]->secondaryAddress);
            }
        }
        std::vector<std::thread> finished;
        {
            std::lock_guard lock(m);
            ReapLocked(finished);
        }
        for (auto& t : finished) t.join();
    }
};

// ---------------------------------------------------------------------------------------------

Server::Server() : m_impl(std::make_unique<Impl>()) {}
Server::~Server() = default;

RpcStatus Server::UseProtseqEp(std::string_view protseq, unsigned maxCalls, std::string_view endpoint) {
    if (RpcStatus st = CheckProtseq(protseq); st != RPC_S_OK) return st;
    Listener l;
    l.endpoint = endpoint;
    if (RpcStatus st = EndpointSocketPath(endpoint, l.path); st != RPC_S_OK) return st;
    l.secondaryAddress = SecondaryAddressOf(endpoint);
    std::string dir;
    if (RpcStatus st = EnsurePipeDirectory(dir); st != RPC_S_OK) return st;
    std::lock_guard lock(m_impl->m);
    if (m_impl->listening) return RPC_S_ALREADY_LISTENING;
    for (const Listener& have : m_impl->listeners)
        if (have.path == l.path) return RPC_S_OK;  // this server has it already
    if (RpcStatus st = OpenListener(l); st != RPC_S_OK) return st;
    m_impl->listeners.push_back(std::move(l));
    if (maxCalls) m_impl->protseqMaxCalls = std::min(m_impl->protseqMaxCalls, maxCalls);
    return RPC_S_OK;
}

RpcStatus Server::RegisterIf(const Interface& iface, std::vector<Handler> handlers) {
    if (handlers.size() != iface.procedures.size()) return RPC_S_INVALID_ARG;
    if (RpcStatus st = ndr::CheckInterface(iface); st != RPC_S_OK) return st;
    std::lock_guard lock(m_impl->m);
    for (const auto& r : m_impl->ifaces)
        if (r->iface.uuid == iface.uuid && r->iface.versionMajor == iface.versionMajor)
            return RPC_S_ALREADY_REGISTERED;
    auto reg = std::make_shared<RegisteredIf>();
    reg->iface = iface;
    reg->handlers = std::move(handlers);
    m_impl->ifaces.push_back(std::move(reg));
    return RPC_S_OK;
}

RpcStatus Server::Listen(unsigned /*minThreads*/, unsigned maxCalls) {
    // minThreads: every connection has its own thread, so there is always one to take a call.
    return m_impl->Listen(maxCalls);
}

RpcStatus Server::StopListening() {
    std::lock_guard lock(m_impl->m);
    if (!m_impl->listening) return RPC_S_NOT_LISTENING;
    m_impl->stopping = true;
    m_impl->WakeLocked();
    return RPC_S_OK;
}

RpcStatus Server::UnregisterIf(const Interface* iface, bool waitForCalls) {
    std::unique_lock lock(m_impl->m);
    std::vector<std::shared_ptr<RegisteredIf>> removed;
    auto& all = m_impl->ifaces;
    for (auto it = all.begin(); it != all.end();) {
        if (!iface ||
            ((*it)->iface.uuid == iface->uuid && (*it)->iface.versionMajor == iface->versionMajor)) {
            (*it)->registered = false;
            removed.push_back(*it);
            it = all.erase(it);
        } else {
            ++it;
        }
    }
    if (removed.empty()) return iface ? RPC_S_UNKNOWN_IF : RPC_S_OK;
    if (waitForCalls) {
        m_impl->cv.wait(lock, [&] {
            return std::all_of(removed.begin(), removed.end(), [](const auto& r) {
                return r->active == (t_currentInterface == r.get() ? 1u : 0u);
            });
        });
    }
    return RPC_S_OK;
}

void ServerAccess::AttachStream(Server& server, std::unique_ptr<ByteStream> stream,
                                std::string secondaryAddress) {
    server.m_impl->Attach(std::move(stream), std::move(secondaryAddress));
}

unsigned ServerAccess::CallsInFlight(Server& server) {
    std::lock_guard lock(server.m_impl->m);
    return server.m_impl->inFlight;
}

void ServerAccess::SetMidPduTimeout(Server& server, int ms) {
    server.m_impl->midPduTimeoutMs = ms;
}

void ServerAccess::SetLimits(Server& server, std::size_t maxConnections, std::size_t reassemblyBudget) {
    std::lock_guard lock(server.m_impl->m);
    server.m_impl->maxConnections = maxConnections;
    server.m_impl->reassemblyBudget = reassemblyBudget;
}

std::size_t ServerAccess::ReassemblyHeld(Server& server) {
    std::lock_guard lock(server.m_impl->m);
    return server.m_impl->reassemblyHeld;
}

std::size_t ServerAccess::ConnectionsServed(Server& server) {
    std::lock_guard lock(server.m_impl->m);
    return server.m_impl->served;
}

std::size_t ServerAccess::Connections(Server& server) {
    std::lock_guard lock(server.m_impl->m);
    return server.m_impl->LiveConnectionsLocked();
}

}  // namespace nx::rpc
