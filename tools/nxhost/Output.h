// What nxhost prints: one lock for standard output and error (the callback threads print while
// a call is open), and the forms of statuses, texts and counts in its lines.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "platform/rpc/Rpc.h"

namespace nx::host {

// Held while writing to standard output or error.
std::mutex& OutputLock();

// The text on standard output, flushed.
void Print(const std::string& text);
// "nxhost: <text>" on standard error, after what standard output holds.
void PrintError(const std::string& text);
// The one-line hint after the errors of a bad command line, on standard error:
// (run "nxhost --help" for the options).
void PrintUsageHint(const char* helpOption = "--help", const char* what = "the options");

// "RPC status 1722 (0x000006BA, RPC_S_SERVER_UNAVAILABLE)".
std::string DescribeStatus(nx::rpc::RpcStatus s);
// A printable, quoted form of a text: "\"a\\nb\"", control characters as \xHH.
std::string Quote(std::u16string_view text);
// "1234567" -> "1,234,567".
std::string Grouped(long long n);

}  // namespace nx::host
