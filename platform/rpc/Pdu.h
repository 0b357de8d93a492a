// Connection-oriented DCE RPC PDUs (DCE 1.1, chapter 12, with the MS-RPCE rules that Windows
// peers follow): framing of a byte stream into fragments, and the encoders and decoders of
// every PDU this runtime sends or reads.
//
// Decoders take one whole fragment (header included) and honour the integer representation
// of its drep; they check every length against the fragment before reading and return false
// on anything malformed. Encoders always write little-endian / ASCII / IEEE.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/rpc/Rpc.h"

namespace nx::rpc::pdu {

enum PType : uint8_t {
    kRequest = 0,
    kResponse = 2,
    kFault = 3,
    kBind = 11,
    kBindAck = 12,
    kBindNak = 13,
    kAlterContext = 14,
    kAlterContextResp = 15,
    kAuth3 = 16,
    kShutdown = 17,
    kCoCancel = 18,
    kOrphaned = 19,
};

inline constexpr uint8_t PFC_FIRST_FRAG = 0x01;
inline constexpr uint8_t PFC_LAST_FRAG = 0x02;
inline constexpr uint8_t PFC_PENDING_CANCEL = 0x04;
inline constexpr uint8_t PFC_CONC_MPX = 0x10;
inline constexpr uint8_t PFC_DID_NOT_EXECUTE = 0x20;
inline constexpr uint8_t PFC_MAYBE = 0x40;
inline constexpr uint8_t PFC_OBJECT_UUID = 0x80;

inline constexpr std::size_t kHeaderSize = 16;
inline constexpr std::size_t kRequestHeaderSize = 24;  // + 16 with PFC_OBJECT_UUID
inline constexpr std::size_t kResponseHeaderSize = 24;
inline constexpr std::size_t kFaultSize = 32;

// Fragment sizes: 4280 is what Windows named pipes negotiate; 1432 is the smallest receive
// size every DCE peer must accept (MUST_RECV_FRAG_SIZE).
inline constexpr uint16_t kDefaultMaxFrag = 4280;
inline constexpr uint16_t kMinRecvFrag = 1432;

// The largest stub (all fragments of one call together) accepted in either direction.
inline constexpr std::size_t kMaxCallStub = 16u << 20;

// Bind result values (p_cont_def_result_t, plus negotiate_ack from MS-RPCE) and reasons.
inline constexpr uint16_t kResultAcceptance = 0;
inline constexpr uint16_t kResultUserRejection = 1;
inline constexpr uint16_t kResultProviderRejection = 2;
inline constexpr uint16_t kResultNegotiateAck = 3;
inline constexpr uint16_t kReasonNotSpecified = 0;
inline constexpr uint16_t kReasonAbstractSyntaxNotSupported = 1;
inline constexpr uint16_t kReasonTransferSyntaxesNotSupported = 2;
inline constexpr uint16_t kReasonLocalLimitExceeded = 3;

// bind_nak reasons (DCE 1.1 p_reject_reason_t, then the MS-RPCE additions).
inline constexpr uint16_t kNakReasonNotSpecified = 0;
inline constexpr uint16_t kNakTemporaryCongestion = 1;
inline constexpr uint16_t kNakLocalLimitExceeded = 2;
inline constexpr uint16_t kNakProtocolVersionNotSupported = 4;
inline constexpr uint16_t kNakAuthenticationTypeNotRecognized = 8;

// Bind-time feature negotiation bits (MS-RPCE 2.2.2.14).
inline constexpr uint8_t kFeatureSecurityContextMultiplexing = 0x01;
inline constexpr uint8_t kFeatureKeepConnectionOnOrphan = 0x02;

struct SyntaxId {
    Uuid uuid;
    uint32_t version = 0;  // major in the low 16 bits, minor in the high 16 bits
    friend bool operator==(const SyntaxId&, const SyntaxId&) = default;
};

const SyntaxId& NdrSyntax();  // 8a885d04-1ceb-11c9-9fe8-08002b104860 v2.0
// True for a bind-time feature negotiation pseudo syntax (6cb71c2c-9812-4540-...) v1.0;
// bitmask receives the first octet of its BindTimeFeatureNegotiationBitmask.
bool IsFeatureNegotiation(const SyntaxId& s, uint8_t& bitmask);

struct Header {
    uint8_t versMajor = 5;
    uint8_t versMinor = 0;
    uint8_t ptype = 0;
    uint8_t flags = 0;
    uint8_t drep[4] = {0x10, 0, 0, 0};
    uint16_t fragLength = 0;
    uint16_t authLength = 0;
    uint32_t callId = 0;
    bool BigEndian() const { return (drep[0] & 0xF0) == 0; }
    std::endian IntegerOrder() const { return BigEndian() ? std::endian::big : std::endian::little; }
};

enum class FrameStatus {
    Ok,          // header valid; fragLength bytes make the fragment
    NeedMore,    // fewer than 16 bytes given
    BadVersion,  // rpc_vers is not 5.0/5.1: a bind gets bind_nak, anything else ends the connection
    BadDrep,     // integer representation neither little- nor big-endian
    BadLength,   // frag_length smaller than the header or auth_length beyond frag_length
};
// Decodes and checks the 16-byte common header at the start of data.
FrameStatus ParseHeader(std::span<const uint8_t> data, Header& out);

// One fragment as read from the stream: its header and all its bytes (header included).
struct Fragment {
    Header hdr;
    std::vector<uint8_t> bytes;
};

// -- bind / alter_context -----------------------------------------------------------------------
struct ContextElem {
    uint16_t contextId = 0;
    SyntaxId abstract;
    std::vector<SyntaxId> transfers;
};
struct Bind {
    uint16_t maxXmitFrag = kDefaultMaxFrag;
    uint16_t maxRecvFrag = kDefaultMaxFrag;
    uint32_t assocGroupId = 0;
    std::vector<ContextElem> contexts;
};
bool ParseBind(const Fragment& f, Bind& out);
std::vector<uint8_t> EncodeBind(uint8_t ptype, uint32_t callId, const Bind& b);

// -- bind_ack / alter_context_resp ---------------------------------------------------------------
struct ContextResult {
    uint16_t result = kResultAcceptance;
    uint16_t reason = 0;
    SyntaxId transfer;  // all zero for a rejection or a negotiate_ack
};
struct BindAck {
    uint16_t maxXmitFrag = kDefaultMaxFrag;
    uint16_t maxRecvFrag = kDefaultMaxFrag;
    uint32_t assocGroupId = 0;
    std::string secondaryAddress;  // "\PIPE\MapiServer64"; empty in alter_context_resp
    std::vector<ContextResult> results;
};
bool ParseBindAck(const Fragment& f, BindAck& out);
std::vector<uint8_t> EncodeBindAck(uint8_t ptype, uint32_t callId, const BindAck& a);

// -- bind_nak -----------------------------------------------------------------------------------
bool ParseBindNak(const Fragment& f, uint16_t& reason);
std::vector<uint8_t> EncodeBindNak(uint32_t callId, uint16_t reason);

// -- request / response / fault -----------------------------------------------------------------
struct Request {
    uint32_t allocHint = 0;
    uint16_t contextId = 0;
    uint16_t opnum = 0;
    std::span<const uint8_t> stub;  // into the fragment's bytes
};
bool ParseRequest(const Fragment& f, Request& out);

struct Response {
    uint32_t allocHint = 0;
    uint16_t contextId = 0;
    std::span<const uint8_t> stub;
};
bool ParseResponse(const Fragment& f, Response& out);

bool ParseFault(const Fragment& f, uint32_t& status);
std::vector<uint8_t> EncodeFault(uint32_t callId, uint16_t contextId, RpcStatus status, bool didNotExecute);

// Splits a call's stub into request (or response) fragments of at most maxFrag bytes each;
// every fragment but the last carries a multiple of 8 stub bytes. alloc_hint is the number of
// stub bytes from this fragment to the end of the call.
void EncodeRequestFragments(uint32_t callId, uint16_t contextId, uint16_t opnum,
                            std::span<const uint8_t> stub, uint16_t maxFrag,
                            std::vector<std::vector<uint8_t>>& out);
// The same request fragments appended one after the other to `out`, as they go out in one write.
void AppendRequestFragments(uint32_t callId, uint16_t contextId, uint16_t opnum,
                            std::span<const uint8_t> stub, uint16_t maxFrag, std::vector<uint8_t>& out);
void EncodeResponseFragments(uint32_t callId, uint16_t contextId, std::span<const uint8_t> stub,
                             uint16_t maxFrag, std::vector<std::vector<uint8_t>>& out);

}  // namespace nx::rpc::pdu
