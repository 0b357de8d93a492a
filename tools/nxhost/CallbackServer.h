// nxhost's callback side: serves the host callback interface on "\pipe\OutlookServer32" on its
// own threads, prints (or saves) every document the agent delivers while a read call is open,
// counts what each read delivered, and plays a broken or hung host on request.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/rpc/Rpc.h"
#include "tools/nxhost/Options.h"

namespace nx::host {

// What one read call delivered, from the documents themselves.
struct ReadTally {
    int documents = 0;
    int added = 0;
    int changed = 0;
    int deleted = 0;
    int pictures = 0;
};

class CallbackServer {
public:
    explicit CallbackServer(const Options& opt);
    ~CallbackServer() { Stop(); }

    // A read call begins: its tally starts from zero; `total` (< 0: unknown) is shown with the
    // progress.
    void BeginRead(const char* kind, long long total);
    ReadTally EndRead();

    nx::rpc::RpcStatus Start();
    void Stop();

    // When the agent last showed it is alive on the callback side: a callback arrived or
    // ended (the agent waits for its answer). The epoch when none came yet.
    std::chrono::steady_clock::time_point LastSignOfLife() const {
        return std::chrono::steady_clock::time_point(
            std::chrono::steady_clock::duration(m_lastSignOfLife.load()));
    }

    int Notifications() const { return m_notifications; }
    int Contacts() const { return m_contacts; }
    int Calendars() const { return m_calendars; }
    int SaveFailures() const { return m_saveFailures; }

private:
    void Alive() { m_lastSignOfLife = std::chrono::steady_clock::now().time_since_epoch().count(); }
    void Misbehave();
    void Tally(const std::string& xml);
    void Document(const char* kind, std::atomic<int>& counter, const std::u16string& text);

    nx::rpc::Server m_server;
    std::thread m_thread;
    std::atomic<nx::rpc::RpcStatus> m_listenStatus{0};
    std::atomic<bool> m_listenDone{false};
    std::optional<std::string> m_saveDir;
    std::atomic<int> m_notifications{0};
    std::atomic<int> m_contacts{0};
    std::atomic<int> m_calendars{0};
    std::atomic<int> m_saveFailures{0};
    std::atomic<std::chrono::steady_clock::rep> m_lastSignOfLife{0};

    std::optional<unsigned> m_dropAfter;
    std::optional<unsigned> m_hangAfter;
    std::atomic<unsigned> m_delivered{0};
    std::mutex m_hangLock;
    std::condition_variable m_hangCv;
    bool m_released = false;

    bool m_progress = false;
    std::mutex m_tallyLock;
    ReadTally m_tally;
    const char* m_readKind = nullptr;
    long long m_readTotal = -1;
    std::chrono::steady_clock::time_point m_lastProgress{};
};

}  // namespace nx::host
