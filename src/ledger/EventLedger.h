// EventLedger: every event the service hears of, committed before anything is
// sent, and what became of each of its deliveries (per channel kind and target),
// in an SQLite file (WAL, one transaction per change, mode 0600). A file that
// cannot be opened or is corrupt is set aside and a new one started; when even
// that fails the ledger lives in memory, so polling never stops for it.
// Shared (std::shared_ptr) by the server manager, the poller, the delivery
// queue's thread and the pages; any thread may call it: `m_lock` guards the
// connection and the controllers' poll record.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

enum class DeliveryStatus { Pending = 0, Sent = 1, Failed = 2 };

// One delivery of one event: a channel kind ("mail", later others), a target
// within it (an address), and its state. Times are milliseconds since the epoch.
struct LedgerDelivery {
    int64_t id = 0;
    int64_t eventId = 0;
    std::string kind;
    std::string target;
    DeliveryStatus status = DeliveryStatus::Pending;
    int attempts = 0;
    int64_t nextAttempt = 0;
    std::string lastReason;
    int64_t updated = 0;
};

// Controller value of events that no controller reported (the service's own).
constexpr int kLedgerNoController = -1;

struct LedgerEvent {
    int64_t id = 0;
    int64_t received = 0;         // ms since the epoch
    int controller = kLedgerNoController;  // index 0..3
    int level = 'I';              // 'I', 'W' or 'E'
    std::string eventTime;        // the event's own time, "YYYY-MM-DD hh:mm:ss"
    std::string text;             // the event's own text
    std::string message;          // the composed text that traps and mails carry
    std::vector<std::string> traps;  // receivers ("address:port") the trap went to
    std::vector<LedgerDelivery> deliveries;
};

// What the events page shows of a controller's polling; kept in memory only.
struct ControllerPoll {
    int controller = 0;
    int64_t lastAnswer = 0;  // ms since the epoch; 0: not since the start
    bool answering = true;
};

// The deliveries still waiting, for monitoring.
struct PendingSummary {
    uint64_t count = 0;
    int64_t oldestReceived = 0;  // arrival of the oldest event with one; 0 when none
};

struct LedgerLimits {
    size_t maxEvents = 10000;
    std::chrono::hours maxAge{24 * 90};
    // Pruning runs at open and after this many new events.
    unsigned int pruneEvery = 64;
};

class EventLedger {
public:
    explicit EventLedger(LedgerLimits limits = LedgerLimits());
    ~EventLedger();
    EventLedger(const EventLedger&) = delete;
    EventLedger& operator=(const EventLedger&) = delete;

    // Opens (or creates) the file. False when it fell back to memory.
    bool Open(const std::string& path);
    bool InMemory() const;
    const std::string& SetAsidePath() const { return m_setAside; }

    // Commits the event with its deliveries in one transaction and fills in
    // their ids; the event's id, or 0 when even the memory fallback failed.
    int64_t Record(LedgerEvent& event);
    std::optional<LedgerEvent> Event(int64_t id);
    // Newest first.
    std::vector<LedgerEvent> Recent(size_t offset, size_t limit);
    size_t EventCount();

    // Pending deliveries whose next attempt is due at `nowMs`, oldest first.
    std::vector<LedgerDelivery> Due(int64_t nowMs);
    // The earliest next attempt of any pending delivery.
    std::optional<int64_t> NextDue();
    // How many deliveries are pending and since when; two indexed lookups.
    PendingSummary Pending();
    // Stores status, attempts, next attempt and reason of each, in one transaction.
    void Update(const std::vector<LedgerDelivery>& deliveries);
    // Every pending delivery becomes due at `nowMs` (the service has just started).
    void AllPendingDueAt(int64_t nowMs);
    // Sends an event's deliveries again: those not sent become due now; when all
    // were sent, all of them. How many were queued.
    int Resend(int64_t eventId, int64_t nowMs);

    void NotePoll(int controller, bool answered, int64_t nowMs);
    std::vector<ControllerPoll> Polls();

    static int64_t NowMs();
    // `ms` since the epoch as local time, by strftime's `format`.
    static std::string LocalTime(int64_t ms, const char* format);

private:
    bool OpenFile(const std::string& path);
    bool OpenMemory();
    bool Prepare();
    void Close();
    void SetAside(const std::string& path, const std::string& why);
    bool Exec(const char* sql);
    int64_t Insert(LedgerEvent& event);
    std::vector<LedgerDelivery> QueryDeliveries(const char* sql, int64_t arg);
    LedgerEvent ReadEvent(sqlite3_stmt* stmt);
    void PruneLocked(int64_t nowMs);
    std::string LastError() const;

    LedgerLimits m_limits;
    mutable std::mutex m_lock;
    sqlite3* m_db = nullptr;
    bool m_inMemory = false;
    std::string m_path;
    std::string m_setAside;
    unsigned int m_sincePrune = 0;
    std::vector<ControllerPoll> m_polls;
};
