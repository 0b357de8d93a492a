#include "tools/nxhost/CallbackServer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "agent/Interfaces.h"
#include "platform/system/Files.h"
#include "platform/system/Paths.h"
#include "platform/system/Utf.h"
#include "tools/nxhost/Output.h"

namespace nx::host {
namespace {

namespace agent = nx::agent;

// The decimal value of a document's <lFlag>, 0 when it has none (a full read).
int FlagOf(const std::string& xml) {
    const auto at = xml.find("<lFlag>");
    if (at == std::string::npos) return 0;
    int value = 0;
    for (std::size_t i = at + 7; i < xml.size() && i < at + 17 && xml[i] >= '0' && xml[i] <= '9'; ++i)
        value = value * 10 + (xml[i] - '0');
    return value;
}

// The text of a document's <PICPath> (no entity in it is expected: it is a file path), "" when none.
std::string PicturePath(const std::string& xml) {
    const auto at = xml.find("<PICPath>");
    if (at == std::string::npos) return std::string();
    const auto end = xml.find("</PICPath>", at);
    return end == std::string::npos ? std::string() : xml.substr(at + 9, end - at - 9);
}

}  // namespace

CallbackServer::CallbackServer(const Options& opt)
    : m_saveDir(opt.saveDir), m_dropAfter(opt.dropAfter), m_hangAfter(opt.hangAfter) {
    m_progress = nx::sys::IsTerminal(2);
}

void CallbackServer::BeginRead(const char* kind, long long total) {
    std::lock_guard<std::mutex> guard(m_tallyLock);
    m_tally = ReadTally{};
    m_readKind = kind;
    m_readTotal = total;
}
ReadTally CallbackServer::EndRead() {
    std::lock_guard<std::mutex> guard(m_tallyLock);
    if (m_progress && m_tally.documents > 0) {
        std::lock_guard<std::mutex> out(OutputLock());
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
    }
    m_readKind = nullptr;
    return m_tally;
}

nx::rpc::RpcStatus CallbackServer::Start() {
    std::vector<nx::rpc::Handler> handlers(agent::kCallbackProcCount);
    handlers[agent::kNotifyShutdown] = [this](nx::rpc::Args&) {
        Alive();
        const int n = ++m_notifications;
        Print("<= NotifyShutdown (#" + std::to_string(n) + ")\n");
    };
    handlers[agent::kDeliverContact] = [this](nx::rpc::Args& a) {
        Document("contact", m_contacts, a.Text(0));
    };
    handlers[agent::kDeliverCalendar] = [this](nx::rpc::Args& a) {
        Document("calendar", m_calendars, a.Text(0));
    };
    nx::rpc::RpcStatus s = m_server.UseProtseqEp(agent::kProtseq, agent::kMaxCalls, agent::kCallbackEndpoint);
    if (s != nx::rpc::RPC_S_OK) return s;
    s = m_server.RegisterIf(agent::CallbackInterface(), std::move(handlers));
    if (s != nx::rpc::RPC_S_OK) return s;
    m_thread = std::thread([this] {
        m_listenStatus = m_server.Listen(1, agent::kMaxCalls);
        m_listenDone = true;
    });
    return nx::rpc::RPC_S_OK;
}

void CallbackServer::Stop() {
    {
        // A hung callback is let go first: the server waits for its calls to end.
        std::lock_guard<std::mutex> guard(m_hangLock);
        m_released = true;
    }
    m_hangCv.notify_all();
    if (!m_thread.joinable()) return;
    // The listen thread may not have entered Listen yet: ask until the server took the
    // request or the thread is done.
    while (!m_listenDone && m_server.StopListening() != nx::rpc::RPC_S_OK)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    m_thread.join();
    m_server.UnregisterIf(nullptr, false);
}

// The broken-host behaviours: after N documents, fail or hang.
void CallbackServer::Misbehave() {
    const unsigned delivered = m_delivered++;
    if (m_dropAfter && delivered >= *m_dropAfter) throw std::runtime_error("the host has gone away");
    if (m_hangAfter && delivered >= *m_hangAfter) {
        std::unique_lock<std::mutex> lock(m_hangLock);
        m_hangCv.wait(lock, [this] { return m_released; });
        throw std::runtime_error("the host hung");
    }
}

void CallbackServer::Tally(const std::string& xml) {
    std::lock_guard<std::mutex> guard(m_tallyLock);
    ReadTally& t = m_tally;
    ++t.documents;
    const int flag = FlagOf(xml);
    if (flag & 0x08)
        ++t.added;
    else if (flag & 0x04)
        ++t.changed;
    else if (flag & 0x20)
        ++t.deleted;
    if (xml.find("<PICPath>") != std::string::npos) ++t.pictures;
    if (!m_progress || m_readKind == nullptr) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lastProgress < std::chrono::milliseconds(100)) return;
    m_lastProgress = now;
    std::string line = "\r\033[K" + std::string(m_readKind) + " " + Grouped(t.documents);
    if (m_readTotal >= 0) line += " / " + Grouped(m_readTotal);
    std::lock_guard<std::mutex> out(OutputLock());
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

void CallbackServer::Document(const char* kind, std::atomic<int>& counter, const std::u16string& text) {
    // Alive when the document comes and when its answer goes: saving it may take a while.
    Alive();
    struct AnsweredAlive {
        CallbackServer& server;
        ~AnsweredAlive() { server.Alive(); }
    } answered{*this};
    Misbehave();
    const int n = ++counter;
    const std::string utf8 = nx::sys::Utf16ToUtf8(text);
    Tally(utf8);
    const char* proc = std::strcmp(kind, "contact") == 0 ? "DeliverContact" : "DeliverCalendar";
    std::string header = "<= " + std::string(proc) + " #" + std::to_string(n) + " (" +
                         std::to_string(text.size()) + " UTF-16 units)";
    if (!m_saveDir) {
        Print(header + "\n" + utf8 + (utf8.empty() || utf8.back() != '\n' ? "\n" : ""));
        return;
    }
    char name[64];
    std::snprintf(name, sizeof name, "%s-%04d.xml", kind, n);
    const std::string path = nx::sys::JoinPath(*m_saveDir, name);
    if (!nx::sys::WriteFileAtomically(path, utf8)) {
        ++m_saveFailures;
        PrintError("cannot save " + path + ": " + std::strerror(errno));
        return;
    }
    // A picture file is the agent's to overwrite with the next contact's: keep a copy now, as a
    // host reads it while it handles the document.
    const std::string picture = PicturePath(utf8);
    if (!picture.empty()) {
        std::snprintf(name, sizeof name, "%s-%04d.jpg", kind, n);
        std::error_code ec;
        std::filesystem::copy_file(picture, nx::sys::JoinPath(*m_saveDir, name),
                                   std::filesystem::copy_options::overwrite_existing, ec);
        if (ec) PrintError("cannot copy the picture " + picture + ": " + ec.message());
    }
    Print(header + " saved to " + path + "\n");
}

}  // namespace nx::host
