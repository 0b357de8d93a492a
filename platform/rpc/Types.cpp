// Uuid and Args.
#include <cstdio>
#include <stdexcept>

#include "platform/rpc/Rpc.h"
#include "platform/system/Ascii.h"

namespace nx::rpc {
const char* RpcStatusName(RpcStatus status) {
    static constexpr struct {
        RpcStatus status;
        const char* name;
    } kNames[] = {
        {RPC_S_OK, "RPC_S_OK"},
        {RPC_S_ACCESS_DENIED, "RPC_S_ACCESS_DENIED"},
        {RPC_S_OUT_OF_MEMORY, "RPC_S_OUT_OF_MEMORY"},
        {RPC_S_INVALID_ARG, "RPC_S_INVALID_ARG"},
        {RPC_S_INVALID_STRING_BINDING, "RPC_S_INVALID_STRING_BINDING"},
        {RPC_S_WRONG_KIND_OF_BINDING, "RPC_S_WRONG_KIND_OF_BINDING"},
        {RPC_S_INVALID_BINDING, "RPC_S_INVALID_BINDING"},
        {RPC_S_PROTSEQ_NOT_SUPPORTED, "RPC_S_PROTSEQ_NOT_SUPPORTED"},
        {RPC_S_INVALID_RPC_PROTSEQ, "RPC_S_INVALID_RPC_PROTSEQ"},
        {RPC_S_INVALID_STRING_UUID, "RPC_S_INVALID_STRING_UUID"},
        {RPC_S_INVALID_ENDPOINT_FORMAT, "RPC_S_INVALID_ENDPOINT_FORMAT"},
        {RPC_S_INVALID_NET_ADDR, "RPC_S_INVALID_NET_ADDR"},
        {RPC_S_ALREADY_REGISTERED, "RPC_S_ALREADY_REGISTERED"},
        {RPC_S_ALREADY_LISTENING, "RPC_S_ALREADY_LISTENING"},
        {RPC_S_NO_PROTSEQS_REGISTERED, "RPC_S_NO_PROTSEQS_REGISTERED"},
        {RPC_S_NOT_LISTENING, "RPC_S_NOT_LISTENING"},
        {RPC_S_UNKNOWN_IF, "RPC_S_UNKNOWN_IF"},
        {RPC_S_CANT_CREATE_ENDPOINT, "RPC_S_CANT_CREATE_ENDPOINT"},
        {RPC_S_OUT_OF_RESOURCES, "RPC_S_OUT_OF_RESOURCES"},
        {RPC_S_SERVER_UNAVAILABLE, "RPC_S_SERVER_UNAVAILABLE"},
        {RPC_S_SERVER_TOO_BUSY, "RPC_S_SERVER_TOO_BUSY"},
        {RPC_S_CALL_FAILED, "RPC_S_CALL_FAILED"},
        {RPC_S_CALL_FAILED_DNE, "RPC_S_CALL_FAILED_DNE"},
        {RPC_S_PROTOCOL_ERROR, "RPC_S_PROTOCOL_ERROR"},
        {RPC_S_UNSUPPORTED_TRANS_SYN, "RPC_S_UNSUPPORTED_TRANS_SYN"},
        {RPC_S_DUPLICATE_ENDPOINT, "RPC_S_DUPLICATE_ENDPOINT"},
        {RPC_S_PROCNUM_OUT_OF_RANGE, "RPC_S_PROCNUM_OUT_OF_RANGE"},
        {RPC_S_CALL_CANCELLED, "RPC_S_CALL_CANCELLED"},
        {RPC_X_BAD_STUB_DATA, "RPC_X_BAD_STUB_DATA"},
        {NCA_S_OP_RNG_ERROR, "nca_s_op_rng_error"},
        {NCA_S_UNK_IF, "nca_s_unk_if"},
        {NCA_S_PROTO_ERROR, "nca_s_proto_error"},
        {NCA_S_FAULT_REMOTE_NO_MEMORY, "nca_s_fault_remote_no_memory"},
        {NCA_S_FAULT_CONTEXT_MISMATCH, "nca_s_fault_context_mismatch"},
    };
    for (const auto& n : kNames)
        if (n.status == status) return n.name;
    return "";
}

bool Uuid::Parse(std::string_view text, Uuid& out) {
    if (text.size() != 36) return false;
    uint8_t raw[16];  // in text order
    std::size_t pos = 0;
    for (int i = 0; i < 16; ++i) {
        if (pos == 8 || pos == 13 || pos == 18 || pos == 23) {
            if (text[pos] != '-') return false;
            ++pos;
        }
        int hi = nx::sys::HexDigitValue(text[pos]), lo = nx::sys::HexDigitValue(text[pos + 1]);
        if (hi < 0 || lo < 0) return false;
        raw[i] = static_cast<uint8_t>(hi << 4 | lo);
        pos += 2;
    }
    // Data1, Data2 and Data3 travel little-endian; Data4 as written.
    static constexpr int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int i = 0; i < 16; ++i) out.bytes[i] = raw[order[i]];
    return true;
}

std::string Uuid::ToString() const {
    const auto& b = bytes;
    char text[37];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  b[3], b[2], b[1], b[0], b[5], b[4], b[7], b[6], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return text;
}

Args::Args(const Procedure& proc) {
    m_values.reserve(proc.params.size());
    for (const Param& p : proc.params) {
        switch (p.shape) {
            case Shape::WChar:
                m_values.emplace_back(char16_t{0});
                break;
            case Shape::String:
            case Shape::SizedOutString:
                m_values.emplace_back(std::u16string());
                break;
            case Shape::FixedArray:
                m_values.emplace_back(std::vector<char16_t>(p.size, 0));
                break;
            case Shape::Long:
                m_values.emplace_back(int32_t{0});
                break;
        }
    }
}

// A wrong index or shape is a programming error in a handler or stub; it throws, and the
// server turns the escaped exception into a fault reply.
template <typename T>
static T& Get(std::vector<std::variant<char16_t, std::u16string, std::vector<char16_t>, int32_t>>& v,
              std::size_t i) {
    if (i >= v.size()) throw std::out_of_range("rpc::Args: no parameter at this index");
    T* p = std::get_if<T>(&v[i]);
    if (!p) throw std::invalid_argument("rpc::Args: parameter has another shape");
    return *p;
}

char16_t& Args::WChar(std::size_t i) {
    return Get<char16_t>(m_values, i);
}
std::u16string& Args::Text(std::size_t i) {
    return Get<std::u16string>(m_values, i);
}
std::vector<char16_t>& Args::Array(std::size_t i) {
    return Get<std::vector<char16_t>>(m_values, i);
}
int32_t& Args::Long(std::size_t i) {
    return Get<int32_t>(m_values, i);
}

}  // namespace nx::rpc
