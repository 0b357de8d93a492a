// The one reader and the one writer of property streams (common/MapiHelpers.h) against streams
// that answer in pieces, fail part-way, take nothing, or report more than they moved.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "common/MapiHelpers.h"

namespace NAMESPACE_COMMON {
namespace {

// A stream over `data` that moves at most `piece` bytes a call, fails once `failAt` bytes have
// moved, and reports `overstate` bytes more than it moved.
class FakeStream : public ISequentialStream {
public:
    std::string data;
    std::size_t piece = SIZE_MAX;
    std::size_t failAt = SIZE_MAX;
    ULONG overstate = 0;
    std::size_t pos = 0;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* read) override {
        if (pos >= failAt) return E_FAIL;
        const std::size_t n =
            std::min({static_cast<std::size_t>(cb), piece, data.size() - pos, failAt - pos});
        std::copy_n(data.data() + pos, n, static_cast<char*>(pv));
        pos += n;
        *read = static_cast<ULONG>(n) + (n > 0 ? overstate : 0);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* written) override {
        if (pos >= failAt) return STG_E_ACCESSDENIED;
        const std::size_t n = std::min({static_cast<std::size_t>(cb), piece, failAt - pos});
        data.append(static_cast<const char*>(pv), n);
        pos += n;
        *written = static_cast<ULONG>(n) + overstate;
        return S_OK;
    }
};

std::string Pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + i / 251);
    return s;
}

TEST(PropertyStream, ReadsEveryByteAcrossReadsAndKeepsWhatCameBeforeAFailure) {
    constexpr std::size_t R = kStreamReadBytes;
    struct Case {
        std::size_t size, piece, failAt;
        HRESULT status;
        std::size_t kept;
    } cases[] = {
        {0, SIZE_MAX, SIZE_MAX, S_OK, 0},
        {1, SIZE_MAX, SIZE_MAX, S_OK, 1},
        {R - 1, SIZE_MAX, SIZE_MAX, S_OK, R - 1},
        {R, SIZE_MAX, SIZE_MAX, S_OK, R},
        {R + 1, SIZE_MAX, SIZE_MAX, S_OK, R + 1},
        {3 * R + 17, 100, SIZE_MAX, S_OK, 3 * R + 17},  // short reads
        {2 * R, 1, SIZE_MAX, S_OK, 2 * R},              // a byte a read
        {3 * R, SIZE_MAX, 2 * R + 5, E_FAIL, 2 * R + 5},
        {3 * R, SIZE_MAX, 0, E_FAIL, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.size << " bytes, " << c.piece << " a read, failing at " << c.failAt);
        FakeStream s;
        s.data = Pattern(c.size);
        s.piece = c.piece;
        s.failAt = c.failAt;
        std::vector<uint8_t> out = {0xAB};  // the reader appends
        EXPECT_EQ(ReadWholeStream(&s, out), c.status);
        ASSERT_EQ(out.size(), 1 + c.kept);
        EXPECT_EQ(out[0], 0xAB);
        EXPECT_EQ(std::string(out.begin() + 1, out.end()), s.data.substr(0, c.kept));
    }
}

TEST(PropertyStream, AReadThatClaimsMoreThanItWasAskedForGivesNoBytesItDidNotMove) {
    FakeStream s;
    s.data = Pattern(kStreamReadBytes * 2 + 3);
    s.overstate = 5000;
    std::string out;
    EXPECT_EQ(ReadWholeStream(&s, out), S_OK);
    // Each read counts at most what was asked: the bytes the stream moved come out in order, and
    // nothing past the reader's own buffer.
    EXPECT_EQ(out.substr(0, s.data.size()), s.data);
    EXPECT_LE(out.size(), s.data.size() + kStreamReadBytes);
    std::string none;
    EXPECT_EQ(ReadWholeStream(nullptr, none), MAPI_E_INVALID_PARAMETER);
}

TEST(PropertyStream, WritesEveryByteAndStopsWhereTheStreamDoes) {
    constexpr std::size_t W = kStreamWriteBytes;
    struct Case {
        std::size_t size, piece, failAt;
        ULONG overstate;
        HRESULT status;
        std::size_t written;
    } cases[] = {
        {0, SIZE_MAX, SIZE_MAX, 0, S_OK, 0},
        {W - 1, SIZE_MAX, SIZE_MAX, 0, S_OK, W - 1},
        {W, SIZE_MAX, SIZE_MAX, 0, S_OK, W},
        {3 * W + 1, SIZE_MAX, SIZE_MAX, 0, S_OK, 3 * W + 1},
        {W + 10, 1000, SIZE_MAX, 0, S_OK, W + 10},               // a stream that takes part of each block
        {2 * W, SIZE_MAX, W + 3, 0, STG_E_ACCESSDENIED, W + 3},  // fails part-way
        {2 * W, 0, SIZE_MAX, 0, STG_E_MEDIUMFULL, 0},            // takes nothing: no endless loop
        {W + 10, SIZE_MAX, SIZE_MAX, 7, S_OK, W + 10},           // claims more than it took
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.size << " bytes, " << c.piece << " a write, failing at " << c.failAt);
        FakeStream s;
        s.piece = c.piece;
        s.failAt = c.failAt;
        s.overstate = c.overstate;
        const std::string bytes = Pattern(c.size);
        ULONG written = 12345;
        EXPECT_EQ(WriteWholeStream(&s, bytes, written), c.status);
        EXPECT_EQ(written, c.written);
        EXPECT_EQ(s.data, bytes.substr(0, c.written));
    }
}

}  // namespace
}  // namespace NAMESPACE_COMMON
