// The DCE RPC runtime's public face: what the agent's start-up, its handlers, its callbacks and
// the host tool use. Connection-oriented DCE RPC (ncacn_np semantics) with NDR 2.0, over local
// stream sockets that stand in for Windows named pipes.
//
// An interface is described once, as data (Interface below): its UUID, version and, per opnum,
// the shapes and directions of its parameters. The server unmarshals a request from that table,
// hands the values to the procedure's handler and marshals the reply from the same table; the
// client side marshals a call from the same table. Nothing is marshalled by hand per procedure.
//
// docs/rpc.md describes the wire decisions, the caps on untrusted lengths, the data
// representation, every status code and the thread model.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace nx::rpc {

// ---------------------------------------------------------------------------------------------
// Status values: the Windows numeric codes, because they become process exit codes.
using RpcStatus = uint32_t;

inline constexpr RpcStatus RPC_S_OK = 0;
inline constexpr RpcStatus RPC_S_ACCESS_DENIED = 5;
inline constexpr RpcStatus RPC_S_OUT_OF_MEMORY = 14;
inline constexpr RpcStatus RPC_S_INVALID_ARG = 87;
inline constexpr RpcStatus RPC_S_INVALID_STRING_BINDING = 1700;
inline constexpr RpcStatus RPC_S_WRONG_KIND_OF_BINDING = 1701;
inline constexpr RpcStatus RPC_S_INVALID_BINDING = 1702;
inline constexpr RpcStatus RPC_S_PROTSEQ_NOT_SUPPORTED = 1703;
inline constexpr RpcStatus RPC_S_INVALID_RPC_PROTSEQ = 1704;
inline constexpr RpcStatus RPC_S_INVALID_STRING_UUID = 1705;
inline constexpr RpcStatus RPC_S_INVALID_ENDPOINT_FORMAT = 1706;
inline constexpr RpcStatus RPC_S_INVALID_NET_ADDR = 1707;
inline constexpr RpcStatus RPC_S_ALREADY_REGISTERED = 1711;
inline constexpr RpcStatus RPC_S_ALREADY_LISTENING = 1713;
inline constexpr RpcStatus RPC_S_NO_PROTSEQS_REGISTERED = 1714;
inline constexpr RpcStatus RPC_S_NOT_LISTENING = 1715;
inline constexpr RpcStatus RPC_S_UNKNOWN_IF = 1717;
inline constexpr RpcStatus RPC_S_CANT_CREATE_ENDPOINT = 1720;
inline constexpr RpcStatus RPC_S_OUT_OF_RESOURCES = 1721;
inline constexpr RpcStatus RPC_S_SERVER_UNAVAILABLE = 1722;
inline constexpr RpcStatus RPC_S_SERVER_TOO_BUSY = 1723;
inline constexpr RpcStatus RPC_S_CALL_FAILED = 1726;
inline constexpr RpcStatus RPC_S_CALL_FAILED_DNE = 1727;
inline constexpr RpcStatus RPC_S_PROTOCOL_ERROR = 1728;
inline constexpr RpcStatus RPC_S_UNSUPPORTED_TRANS_SYN = 1730;
inline constexpr RpcStatus RPC_S_DUPLICATE_ENDPOINT = 1740;
inline constexpr RpcStatus RPC_S_PROCNUM_OUT_OF_RANGE = 1745;
inline constexpr RpcStatus RPC_S_CALL_CANCELLED = 1818;
inline constexpr RpcStatus RPC_X_BAD_STUB_DATA = 1783;  // 0x6F7

// Fault status codes that travel in fault PDUs (DCE 1.1 / MS-RPCE).
inline constexpr RpcStatus NCA_S_OP_RNG_ERROR = 0x1C010002;
inline constexpr RpcStatus NCA_S_UNK_IF = 0x1C010003;
inline constexpr RpcStatus NCA_S_PROTO_ERROR = 0x1C01000B;
inline constexpr RpcStatus NCA_S_FAULT_REMOTE_NO_MEMORY = 0x1C000012;
inline constexpr RpcStatus NCA_S_FAULT_CONTEXT_MISMATCH = 0x1C00001A;

// The constant's name of a status above ("RPC_S_SERVER_UNAVAILABLE", "nca_s_op_rng_error" for the
// fault codes, as DCE writes them); "" for any other value.
const char* RpcStatusName(RpcStatus status);

// ---------------------------------------------------------------------------------------------
// Interface tables.

struct Uuid {
    std::array<uint8_t, 16> bytes{};  // in the NDR little-endian layout of a GUID on the wire
    static bool Parse(std::string_view text, Uuid& out);  // "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx"
    std::string ToString() const;
    friend bool operator==(const Uuid&, const Uuid&) = default;
};

enum class Shape : uint8_t {
    WChar,           // [in] wchar_t*: one UTF-16 code unit, no count, no terminator
    String,          // [in, string] wchar_t*: conformant varying string, terminator included
    FixedArray,      // [in, out, size_is(N)] wchar_t[]: conformant array whose count must be N
    SizedOutString,  // [out, string, size_is(N)] wchar_t*: conformant varying string, max count N
    Long,            // [out] long*: 32-bit signed
};

enum class Direction : uint8_t { In, Out, InOut };

struct Param {
    Shape shape;
    Direction dir;
    uint32_t size = 0;  // FixedArray: the element count; SizedOutString: the buffer size in units
};

struct Procedure {
    std::string name;
    std::vector<Param> params;  // after the explicit binding handle, which never crosses the wire
};

struct Interface {
    std::string name;
    Uuid uuid;
    uint16_t versionMajor = 1;
    uint16_t versionMinor = 0;
    std::vector<Procedure> procedures;  // index = opnum
};

// ---------------------------------------------------------------------------------------------
// Argument values of one call, one per parameter of the procedure, in order. Defaults: WChar 0,
// String "" , FixedArray N zero units, SizedOutString "", Long 0. A handler reads its [in]
// values and sets its [out] values; a SizedOutString longer than its buffer (N - 1 units plus
// the terminator) is cut to fit when marshalled, never written past.
class Args {
public:
    explicit Args(const Procedure& proc);

    std::size_t size() const { return m_values.size(); }
    char16_t& WChar(std::size_t i);
    std::u16string& Text(std::size_t i);          // String and SizedOutString
    std::vector<char16_t>& Array(std::size_t i);  // FixedArray
    int32_t& Long(std::size_t i);

private:
    using Value = std::variant<char16_t, std::u16string, std::vector<char16_t>, int32_t>;
    std::vector<Value> m_values;
};

// A procedure's handler. It runs on one of the server's call threads. An exception that
// escapes it is turned into a fault reply (the call fails; the server goes on serving).
using Handler = std::function<void(Args&)>;

// ---------------------------------------------------------------------------------------------
// Diagnostics: the runtime says here why it refused, evicted or gave up on a peer (a timeout,
// a peer of another user, a full connection table). Null (the default) drops the texts.
void SetTraceSink(std::function<void(std::string_view)> sink);

// ---------------------------------------------------------------------------------------------
// Endpoints. A Windows pipe endpoint ("\pipe\MapiServer64", any case) maps to a Unix stream
// socket named by the lower-cased part after "\pipe\" in the per-user pipe directory:
// $NX_PIPE_DIR when set, else $XDG_RUNTIME_DIR/nx-pipes, else /tmp/nx-pipes-<uid>. The
// directory is created with mode 0700; servers and clients refuse it (RPC_S_ACCESS_DENIED)
// when it is a symbolic link, another user's, or writable by group or others, and refuse a
// peer of another user.
std::string PipeDirectory();
RpcStatus EndpointSocketPath(std::string_view endpoint, std::string& path);
// True when a server is listening on the endpoint right now (a connect succeeds).
bool EndpointIsListening(std::string_view endpoint);

// ---------------------------------------------------------------------------------------------
// Server: one per process in the agent; tests may create several.
class Server {
public:
    Server();
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Registers protocol sequence "ncacn_np" with an endpoint and takes the endpoint at once.
    // A stale socket left by a dead server is replaced; a live server on the endpoint gives
    // RPC_S_DUPLICATE_ENDPOINT. Other protocol sequences: RPC_S_PROTSEQ_NOT_SUPPORTED or
    // RPC_S_INVALID_RPC_PROTSEQ; a bad endpoint name RPC_S_INVALID_ENDPOINT_FORMAT; an unusable
    // pipe directory RPC_S_ACCESS_DENIED or RPC_S_CANT_CREATE_ENDPOINT. maxCalls (0: no limit of
    // its own) caps the calls in flight together with Listen's.
    RpcStatus UseProtseqEp(std::string_view protseq, unsigned maxCalls, std::string_view endpoint);
    // handlers.size() must equal iface.procedures.size() (else RPC_S_INVALID_ARG); an empty
    // handler answers with an nca_s_op_rng_error fault. The same UUID and major version twice:
    // RPC_S_ALREADY_REGISTERED.
    RpcStatus RegisterIf(const Interface& iface, std::vector<Handler> handlers);
    // Serves until StopListening; returns once the calls in flight (the stopping call
    // included) have sent their replies, with the endpoints closed and every connection
    // thread joined. Each connection has its own thread, so minThreads is always met; at
    // most min(maxCalls, UseProtseqEp's maxCalls) calls run at once, a call beyond that gets
    // an RPC_S_SERVER_TOO_BUSY fault.
    RpcStatus Listen(unsigned minThreads, unsigned maxCalls);
    // Callable from any thread, a handler included; RPC_S_NOT_LISTENING outside Listen.
    RpcStatus StopListening();
    // Unregisters one interface (null: all of them); new calls on it are refused.
    RpcStatus UnregisterIf(const Interface* iface, bool waitForCalls);

    struct Impl;

private:
    friend struct ServerAccess;  // the runtime's internals and its tests (platform/rpc/Server.h)
    std::unique_ptr<Impl> m_impl;
};

// ---------------------------------------------------------------------------------------------
// Client.

// Composes "protseq:netaddr[endpoint,options]" (with "uuid@" in front when an object UUID is
// given), as the Windows function of that name does.
RpcStatus StringBindingCompose(std::string_view objUuid, std::string_view protseq,
                               std::string_view networkAddr, std::string_view endpoint,
                               std::string_view options, std::string& out);

// How long a binding waits for the other process; -1: no limit (the default).
struct CallTimeouts {
    int connectMs = -1;  // a listener that does not accept: RPC_S_SERVER_TOO_BUSY
    int bindMs = -1;     // a bind or alter_context without an answer: RPC_S_CALL_FAILED_DNE
    int replyMs = -1;    // a request without a reply (also each write): RPC_S_CALL_FAILED
};

// A binding handle. Binding does not connect: the first call does, and a call after the
// server dropped the connection reconnects once. Calls on one binding are serialised.
class Binding {
public:
    ~Binding();
    Binding(const Binding&) = delete;
    Binding& operator=(const Binding&) = delete;

    // Bounds every later call's waits; a wait that runs out drops the connection, is traced
    // (SetTraceSink) and fails the call with the status above.
    void SetTimeouts(const CallTimeouts& timeouts);

    // When the server last showed it was alive by other means than this call's answer (the
    // callbacks it makes while a long call is open).
    using SignOfLife = std::function<std::chrono::steady_clock::time_point()>;
    // Bounds every later call by silence rather than by its length: a call ends with
    // RPC_S_CALL_CANCELLED (traced, the connection dropped) once the server has shown no sign of
    // life for `ms` milliseconds: nothing of its answer arrived and `signOfLife` (may be empty)
    // tells of nothing later. A call that goes on making progress is never cut. -1: no bound
    // (the default). The waits of SetTimeouts still apply within it.
    void SetSilenceBound(int ms, SignOfLife signOfLife);

    // Marshals the [in] values of args, calls, and fills the [out] values. Returns RPC_S_OK,
    // a transport status (RPC_S_SERVER_UNAVAILABLE: nobody listens; RPC_S_CALL_FAILED_DNE:
    // the bind failed, nothing ran; RPC_S_CALL_FAILED: the connection broke after the request
    // was sent, the call may have run and is not repeated; RPC_S_UNKNOWN_IF; ...) or the fault
    // status the server replied with, untranslated (NCA_S_OP_RNG_ERROR, RPC_X_BAD_STUB_DATA,
    // RPC_S_SERVER_TOO_BUSY, ...). args must have been built for iface.procedures[opnum].
    RpcStatus Call(const Interface& iface, uint16_t opnum, Args& args);

    // Call in two steps, for a caller that has work of its own to do while the server runs the
    // call. Send marshals and sends the request: RPC_S_OK means the call is pending and Receive,
    // on the same thread, waits for its reply, fills args' [out] values and answers what Call
    // would; any other status is the call's answer, and nothing is pending. args must stay alive
    // until Receive. While a call is pending the binding takes no other: calls of other threads
    // wait for Receive, and a second Send on the same thread is a programming error. Where the
    // system's runtime makes the calls (Windows), Send makes the whole call and Receive answers
    // it. Receive without a pending call of the calling thread: RPC_S_INVALID_ARG.
    RpcStatus Send(const Interface& iface, uint16_t opnum, Args& args);
    RpcStatus Receive();

    const std::string& Endpoint() const;

    struct Impl;
    explicit Binding(std::unique_ptr<Impl> impl);

private:
    std::unique_ptr<Impl> m_impl;
};

// Accepts the forms Windows accepts for a local pipe: "ncacn_np:[\pipe\Name]",
// "ncacn_np:[\\pipe\\Name]" as written in C source is the same text, "ncacn_np:.[\pipe\Name]",
// "ncacn_np:localhost[\pipe\Name]", an object UUID prefix and options after the endpoint.
RpcStatus BindingFromStringBinding(std::string_view stringBinding, std::shared_ptr<Binding>& out);

}  // namespace nx::rpc
