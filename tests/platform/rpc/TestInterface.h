// A test interface with one procedure per parameter shape (and the combinations the agent's
// interfaces use), shared by the runtime's tests, its interop test server and its benchmark.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/rpc/Rpc.h"

namespace nx::rpc::test {

enum Op : uint16_t {
    kPing = 0,      // ()
    kChar = 1,      // [in] wchar_t*, [out] long*: returns the unit's value
    kText = 2,      // [in, string] wchar_t*, [out] long*: returns its length in units
    kArray = 3,     // [in, out, size_is(3000)] wchar_t[], [out] long*: reverses it, returns units != 0
    kWrite = 4,     // [in, string], [out, string, size_is(400)], [out, string, size_is(40)], [out] long*
    kTwoTexts = 5,  // [in, string], [in, string], [out] long*: len1 * 1000 + len2
    kThrow = 6,     // (): the handler throws
    kStop = 7,      // (): the handler stops the server
    kMissing = 8,   // (): no handler
    kSleep = 9,     // [in, string] milliseconds as text, [out] long*
    kEcho = 10,     // [in, string], [out, string, size_is(4096)]: returns the text
    kOpCount = 11,
};

inline const Interface& TestInterface() {
    static const Interface iface = [] {
        Interface i;
        i.name = "NxRpcTest";
        Uuid::Parse("4f1d7a52-6c1e-4b8e-9d7f-0a5b3c2e1d90", i.uuid);
        i.versionMajor = 1;
        i.versionMinor = 0;
        const Param wch{Shape::WChar, Direction::In};
        const Param str{Shape::String, Direction::In};
        const Param lng{Shape::Long, Direction::Out};
        i.procedures = {
            {"Ping", {}},
            {"Char", {wch, lng}},
            {"Text", {str, lng}},
            {"Array", {{Shape::FixedArray, Direction::InOut, 3000}, lng}},
            {"Write",
             {str,
              {Shape::SizedOutString, Direction::Out, 400},
              {Shape::SizedOutString, Direction::Out, 40},
              lng}},
            {"TwoTexts", {str, str, lng}},
            {"Throw", {}},
            {"Stop", {}},
            {"Missing", {}},
            {"Sleep", {str, lng}},
            {"Echo", {str, {Shape::SizedOutString, Direction::Out, 4096}}},
        };
        return i;
    }();
    return iface;
}

// Handlers; kStop stops *server. calls counts every handler run.
inline std::vector<Handler> TestHandlers(Server* server, std::atomic<int>* calls = nullptr) {
    auto count = [calls] {
        if (calls) ++*calls;
    };
    std::vector<Handler> h(kOpCount);
    h[kPing] = [count](Args&) { count(); };
    h[kChar] = [count](Args& a) {
        count();
        a.Long(1) = a.WChar(0);
    };
    h[kText] = [count](Args& a) {
        count();
        a.Long(1) = static_cast<int32_t>(a.Text(0).size());
    };
    h[kArray] = [count](Args& a) {
        count();
        auto& v = a.Array(0);
        int32_t nonZero = 0;
        for (char16_t c : v) nonZero += c != 0;
        std::reverse(v.begin(), v.end());
        a.Long(1) = nonZero;
    };
    h[kWrite] = [count](Args& a) {
        count();
        a.Text(1) = a.Text(0);  // the identifier echoes the document (cut to 399 units on the wire)
        a.Text(2) = u"2026/12/06 01:02:03";
        a.Long(3) = 0;
    };
    h[kTwoTexts] = [count](Args& a) {
        count();
        a.Long(2) = static_cast<int32_t>(a.Text(0).size() * 1000 + a.Text(1).size());
    };
    h[kThrow] = [count](Args&) {
        count();
        throw std::runtime_error("handler failed");
    };
    h[kStop] = [count, server](Args&) {
        count();
        if (server) server->StopListening();
    };
    h[kSleep] = [count](Args& a) {
        count();
        std::string ms(a.Text(0).begin(), a.Text(0).end());
        std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(ms)));
        a.Long(1) = 0;
    };
    h[kEcho] = [count](Args& a) {
        count();
        a.Text(1) = a.Text(0);
    };
    return h;
}

}  // namespace nx::rpc::test
