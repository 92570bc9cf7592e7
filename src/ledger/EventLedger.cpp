#include "ledger/EventLedger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>

#include "framework/Console.h"

namespace {

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS events("
    " id INTEGER PRIMARY KEY AUTOINCREMENT, received INTEGER NOT NULL, controller INTEGER NOT NULL,"
    " level INTEGER NOT NULL, event_time TEXT NOT NULL, text TEXT NOT NULL, message TEXT NOT NULL,"
    " traps TEXT NOT NULL DEFAULT '');"
    "CREATE TABLE IF NOT EXISTS deliveries("
    " id INTEGER PRIMARY KEY AUTOINCREMENT, event_id INTEGER NOT NULL, kind TEXT NOT NULL,"
    " target TEXT NOT NULL, status INTEGER NOT NULL, attempts INTEGER NOT NULL DEFAULT 0,"
    " next_attempt INTEGER NOT NULL, last_reason TEXT NOT NULL DEFAULT '', updated INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS deliveries_due ON deliveries(status, next_attempt);"
    "CREATE INDEX IF NOT EXISTS deliveries_event ON deliveries(event_id);"
    "CREATE INDEX IF NOT EXISTS deliveries_pending ON deliveries(status, event_id);";

const char kDeliveryColumns[] =
    "SELECT id, event_id, kind, target, status, attempts, next_attempt, last_reason, updated FROM deliveries ";
const char kEventColumns[] =
    "SELECT id, received, controller, level, event_time, text, message, traps FROM events ";

// One prepared statement, finalized when it goes out of scope.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) {
        if (db) sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr);
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    explicit operator bool() const { return m_stmt != nullptr; }
    sqlite3_stmt* get() const { return m_stmt; }
    Statement& Bind(int index, int64_t value) {
        sqlite3_bind_int64(m_stmt, index, value);
        return *this;
    }
    Statement& Bind(int index, const std::string& value) {
        sqlite3_bind_text(m_stmt, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
        return *this;
    }
    bool Step() { return m_stmt && sqlite3_step(m_stmt) == SQLITE_ROW; }
    bool Run() { return m_stmt && sqlite3_step(m_stmt) == SQLITE_DONE; }
    int64_t Int(int column) const { return sqlite3_column_int64(m_stmt, column); }
    std::string Text(int column) const {
        const unsigned char* text = sqlite3_column_text(m_stmt, column);
        return text ? std::string(reinterpret_cast<const char*>(text),
                                  static_cast<size_t>(sqlite3_column_bytes(m_stmt, column)))
                    : std::string();
    }

private:
    sqlite3_stmt* m_stmt = nullptr;
};

std::string JoinTraps(const std::vector<std::string>& traps) {
    std::string joined;
    for (const auto& trap : traps) joined += (joined.empty() ? "" : " ") + trap;
    return joined;
}

std::vector<std::string> SplitTraps(const std::string& joined) {
    std::vector<std::string> traps;
    size_t start = 0;
    while (start < joined.size()) {
        size_t end = joined.find(' ', start);
        if (end == std::string::npos) end = joined.size();
        if (end > start) traps.push_back(joined.substr(start, end - start));
        start = end + 1;
    }
    return traps;
}

LedgerDelivery ReadDelivery(const Statement& s) {
    LedgerDelivery d;
    d.id = s.Int(0);
    d.eventId = s.Int(1);
    d.kind = s.Text(2);
    d.target = s.Text(3);
    d.status = static_cast<DeliveryStatus>(s.Int(4));
    d.attempts = static_cast<int>(s.Int(5));
    d.nextAttempt = s.Int(6);
    d.lastReason = s.Text(7);
    d.updated = s.Int(8);
    return d;
}

}  // namespace

EventLedger::EventLedger(LedgerLimits limits) : m_limits(limits) {}

EventLedger::~EventLedger() { Close(); }

std::string EventLedger::LocalTime(int64_t ms, const char* format) {
    time_t seconds = static_cast<time_t>(ms / 1000);
    struct tm local {};
    localtime_r(&seconds, &local);
    char text[64];
    if (strftime(text, sizeof text, format, &local) == 0) return std::string();
    return text;
}

int64_t EventLedger::NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void EventLedger::Close() {
    if (m_db) sqlite3_close_v2(m_db);
    m_db = nullptr;
}

bool EventLedger::Open(const std::string& path) {
    std::lock_guard<std::mutex> guard(m_lock);
    Close();
    m_path = path;
    if (OpenFile(path)) return true;
    SetAside(path, LastError());
    if (OpenFile(path)) return true;
    Console::PrintLevel(Console::kError, "Event ledger %s cannot be used (%s): events are kept in memory only\n",
                        path.c_str(), LastError().c_str());
    OpenMemory();
    return false;
}

bool EventLedger::InMemory() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_inMemory;
}

bool EventLedger::OpenFile(const std::string& path) {
    Close();
    m_inMemory = false;
    // Created with 0600 before SQLite sees it: its journal files take the same mode.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        m_db = nullptr;
        return false;
    }
    ::close(fd);
    if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
        return false;
    sqlite3_busy_timeout(m_db, 2000);
    // quick_check reads every page: a damaged file is found now, not mid-event.
    {
        Statement check(m_db, "PRAGMA quick_check");
        if (!check.Step() || check.Text(0) != "ok") return false;
    }  // finished before the journal mode may change
    return Exec("PRAGMA journal_mode=WAL") && Exec("PRAGMA synchronous=FULL") && Prepare();
}

bool EventLedger::OpenMemory() {
    Close();
    m_inMemory = true;
    return sqlite3_open_v2(":memory:", &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) == SQLITE_OK &&
           Prepare();
}

bool EventLedger::Prepare() {
    if (!Exec(kSchema)) return false;
    PruneLocked(NowMs());
    return true;
}

// Moves the file (and its journal) out of the way under a dated name, so an
// administrator can still look at it.
void EventLedger::SetAside(const std::string& path, const std::string& why) {
    Close();
    std::string aside = path + ".unreadable-" + LocalTime(NowMs(), "%Y%m%d-%H%M%S");
    bool moved = ::rename(path.c_str(), aside.c_str()) == 0;
    for (const char* suffix : {"-wal", "-shm"}) {
        std::string from = path + suffix;
        if (::access(from.c_str(), F_OK) == 0) ::rename(from.c_str(), (aside + suffix).c_str());
    }
    if (moved) m_setAside = aside;
    Console::PrintLevel(Console::kError, "Event ledger %s cannot be used (%s); %s, a new one is started\n",
                        path.c_str(), why.c_str(),
                        moved ? ("set aside as " + aside).c_str() : "it could not be set aside");
}

bool EventLedger::Exec(const char* sql) {
    return m_db && sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

std::string EventLedger::LastError() const {
    if (!m_db) return "the file cannot be opened or created";
    return sqlite3_errmsg(m_db);
}

int64_t EventLedger::Record(LedgerEvent& event) {
    std::lock_guard<std::mutex> guard(m_lock);
    int64_t id = Insert(event);
    if (id == 0 && !m_inMemory) {
        // A disk that is full or gone must not cost the event: keep it in memory.
        Console::PrintLevel(Console::kError, "Event ledger %s: cannot record an event (%s): "
                            "events are kept in memory from now on\n", m_path.c_str(), LastError().c_str());
        if (OpenMemory()) id = Insert(event);
    }
    if (id != 0 && ++m_sincePrune >= m_limits.pruneEvery) PruneLocked(NowMs());
    return id;
}

int64_t EventLedger::Insert(LedgerEvent& event) {
    if (!Exec("BEGIN IMMEDIATE")) return 0;
    Statement insert(m_db,
                     "INSERT INTO events(received, controller, level, event_time, text, message, traps) "
                     "VALUES(?,?,?,?,?,?,?)");
    insert.Bind(1, event.received).Bind(2, event.controller).Bind(3, event.level).Bind(4, event.eventTime);
    insert.Bind(5, event.text).Bind(6, event.message).Bind(7, JoinTraps(event.traps));
    bool ok = insert.Run();
    int64_t id = ok ? sqlite3_last_insert_rowid(m_db) : 0;
    for (auto& d : event.deliveries) {
        if (!ok) break;
        Statement add(m_db,
                      "INSERT INTO deliveries(event_id, kind, target, status, attempts, next_attempt, "
                      "last_reason, updated) VALUES(?,?,?,?,?,?,?,?)");
        d.eventId = id;
        add.Bind(1, id).Bind(2, d.kind).Bind(3, d.target).Bind(4, static_cast<int64_t>(d.status));
        add.Bind(5, d.attempts).Bind(6, d.nextAttempt).Bind(7, d.lastReason).Bind(8, event.received);
        ok = add.Run();
        d.id = sqlite3_last_insert_rowid(m_db);
    }
    if (!ok || !Exec("COMMIT")) {
        Exec("ROLLBACK");
        return 0;
    }
    event.id = id;
    return id;
}

LedgerEvent EventLedger::ReadEvent(sqlite3_stmt* stmt) {
    LedgerEvent e;
    e.id = sqlite3_column_int64(stmt, 0);
    e.received = sqlite3_column_int64(stmt, 1);
    e.controller = static_cast<int>(sqlite3_column_int64(stmt, 2));
    e.level = static_cast<int>(sqlite3_column_int64(stmt, 3));
    auto text = [&](int column) {
        const unsigned char* t = sqlite3_column_text(stmt, column);
        return t ? std::string(reinterpret_cast<const char*>(t), static_cast<size_t>(sqlite3_column_bytes(stmt, column)))
                 : std::string();
    };
    e.eventTime = text(4);
    e.text = text(5);
    e.message = text(6);
    e.traps = SplitTraps(text(7));
    e.deliveries = QueryDeliveries((std::string(kDeliveryColumns) + "WHERE event_id = ? ORDER BY id").c_str(), e.id);
    return e;
}

std::vector<LedgerDelivery> EventLedger::QueryDeliveries(const char* sql, int64_t arg) {
    std::vector<LedgerDelivery> out;
    Statement s(m_db, sql);
    s.Bind(1, arg);
    while (s.Step()) out.push_back(ReadDelivery(s));
    return out;
}

std::optional<LedgerEvent> EventLedger::Event(int64_t id) {
    std::lock_guard<std::mutex> guard(m_lock);
    Statement s(m_db, (std::string(kEventColumns) + "WHERE id = ?").c_str());
    s.Bind(1, id);
    if (!s.Step()) return std::nullopt;
    return ReadEvent(s.get());
}

std::vector<LedgerEvent> EventLedger::Recent(size_t offset, size_t limit) {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<LedgerEvent> out;
    Statement s(m_db, (std::string(kEventColumns) + "ORDER BY id DESC LIMIT ? OFFSET ?").c_str());
    s.Bind(1, static_cast<int64_t>(limit)).Bind(2, static_cast<int64_t>(offset));
    while (s.Step()) out.push_back(ReadEvent(s.get()));
    return out;
}

size_t EventLedger::EventCount() {
    std::lock_guard<std::mutex> guard(m_lock);
    Statement s(m_db, "SELECT count(*) FROM events");
    return s.Step() ? static_cast<size_t>(s.Int(0)) : 0;
}

std::vector<LedgerDelivery> EventLedger::Due(int64_t nowMs) {
    std::lock_guard<std::mutex> guard(m_lock);
    return QueryDeliveries(
        (std::string(kDeliveryColumns) + "WHERE status = 0 AND next_attempt <= ? ORDER BY event_id, id").c_str(),
        nowMs);
}

std::optional<int64_t> EventLedger::NextDue() {
    std::lock_guard<std::mutex> guard(m_lock);
    Statement s(m_db, "SELECT min(next_attempt) FROM deliveries WHERE status = 0");
    if (!s.Step() || sqlite3_column_type(s.get(), 0) == SQLITE_NULL) return std::nullopt;
    return s.Int(0);
}

PendingSummary EventLedger::Pending() {
    std::lock_guard<std::mutex> guard(m_lock);
    PendingSummary summary;
    // Event ids grow with arrival, so the smallest pending one is the oldest.
    Statement s(m_db,
                "SELECT (SELECT count(*) FROM deliveries WHERE status = 0),"
                " (SELECT received FROM events WHERE id ="
                "  (SELECT min(event_id) FROM deliveries WHERE status = 0))");
    if (!s.Step()) return summary;
    summary.count = static_cast<uint64_t>(s.Int(0));
    summary.oldestReceived = s.Int(1);
    return summary;
}

void EventLedger::Update(const std::vector<LedgerDelivery>& deliveries) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!Exec("BEGIN IMMEDIATE")) return;
    int64_t now = NowMs();
    for (const auto& d : deliveries) {
        Statement s(m_db,
                    "UPDATE deliveries SET status = ?, attempts = ?, next_attempt = ?, last_reason = ?, "
                    "updated = ? WHERE id = ?");
        s.Bind(1, static_cast<int64_t>(d.status)).Bind(2, d.attempts).Bind(3, d.nextAttempt);
        s.Bind(4, d.lastReason).Bind(5, now).Bind(6, d.id);
        s.Run();
    }
    if (!Exec("COMMIT")) {
        Console::PrintLevel(Console::kError, "Event ledger %s: delivery states not stored (%s)\n", m_path.c_str(),
                            LastError().c_str());
        Exec("ROLLBACK");
    }
}

void EventLedger::AllPendingDueAt(int64_t nowMs) {
    std::lock_guard<std::mutex> guard(m_lock);
    Statement s(m_db, "UPDATE deliveries SET next_attempt = ? WHERE status = 0 AND next_attempt > ?");
    s.Bind(1, nowMs).Bind(2, nowMs).Run();
}

int EventLedger::Resend(int64_t eventId, int64_t nowMs) {
    std::lock_guard<std::mutex> guard(m_lock);
    Statement open(m_db,
                   "UPDATE deliveries SET status = 0, next_attempt = ?, updated = ? "
                   "WHERE event_id = ? AND status <> 1");
    open.Bind(1, nowMs).Bind(2, nowMs).Bind(3, eventId).Run();
    int changed = sqlite3_changes(m_db);
    if (changed > 0) return changed;
    Statement all(m_db, "UPDATE deliveries SET status = 0, next_attempt = ?, updated = ? WHERE event_id = ?");
    all.Bind(1, nowMs).Bind(2, nowMs).Bind(3, eventId).Run();
    return sqlite3_changes(m_db);
}

// Too old goes first; then, over the count, the oldest events with nothing
// pending; only then the oldest of all.
void EventLedger::PruneLocked(int64_t nowMs) {
    m_sincePrune = 0;
    int64_t oldest = nowMs - std::chrono::duration_cast<std::chrono::milliseconds>(m_limits.maxAge).count();
    Exec("BEGIN IMMEDIATE");
    Statement(m_db, "DELETE FROM events WHERE received < ?").Bind(1, oldest).Run();
    auto excess = [&] {
        Statement count(m_db, "SELECT count(*) FROM events");
        int64_t n = count.Step() ? count.Int(0) : 0;
        return n - static_cast<int64_t>(m_limits.maxEvents);
    };
    int64_t over = excess();
    if (over > 0) {
        Statement(m_db,
                  "DELETE FROM events WHERE id IN (SELECT id FROM events e WHERE NOT EXISTS "
                  "(SELECT 1 FROM deliveries d WHERE d.event_id = e.id AND d.status = 0) ORDER BY id LIMIT ?)")
            .Bind(1, over)
            .Run();
        over = excess();
    }
    if (over > 0) Statement(m_db, "DELETE FROM events WHERE id IN (SELECT id FROM events ORDER BY id LIMIT ?)")
                      .Bind(1, over)
                      .Run();
    Exec("DELETE FROM deliveries WHERE event_id NOT IN (SELECT id FROM events)");
    if (!Exec("COMMIT")) Exec("ROLLBACK");
}

void EventLedger::NotePoll(int controller, bool answered, int64_t nowMs) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = std::find_if(m_polls.begin(), m_polls.end(),
                           [&](const ControllerPoll& p) { return p.controller == controller; });
    if (it == m_polls.end()) {
        m_polls.push_back(ControllerPoll{controller, 0, true});
        it = m_polls.end() - 1;
    }
    if (answered) it->lastAnswer = nowMs;
    it->answering = answered;
}

std::vector<ControllerPoll> EventLedger::Polls() {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<ControllerPoll> out = m_polls;
    std::sort(out.begin(), out.end(),
              [](const ControllerPoll& a, const ControllerPoll& b) { return a.controller < b.controller; });
    return out;
}
