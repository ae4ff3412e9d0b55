// The ledger in an SQLite file, for the stations of one machine.
//
// Concurrent allocation: the file is in WAL mode and every writing transaction starts with
// BEGIN IMMEDIATE, which takes SQLite's single write lock before its first read. The lowest-free
// query and the reservation therefore run as one unit that no other station can interleave
// with; a station that finds the lock taken waits its turn (the busy time-out) instead of
// failing, and readers go on meanwhile. The primary key on (pool, hard_id) is the backstop.
//
// The station's name: an open-file-description lock on one byte of the database file, which
// the kernel drops when the station dies, however it dies.
#include "ledger_backends.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ledger {
namespace {

constexpr int BUSY_TIMEOUT_MS = 5000;
// A station that finds the write lock taken looks again this often, so that it goes next soon
// after the holder commits (SQLite's own busy handler backs off to 100 ms between looks).
constexpr useconds_t BUSY_POLL_US = 1000;
constexpr mode_t LEDGER_MODE = 0660;
// Far above SQLite's own lock bytes (at 1 GiB); the name's hash picks the byte.
constexpr off_t NAME_LOCK_BASE = off_t(1) << 40;
constexpr uint32_t NAME_LOCK_SPAN = 1u << 30;
constexpr uint32_t FNV_OFFSET = 2166136261u;
constexpr uint32_t FNV_PRIME = 16777619u;

const char CREATE_ATTEMPTS[] =
    "CREATE TABLE attempts (row_id INTEGER PRIMARY KEY, station TEXT NOT NULL, "
    "pool TEXT NOT NULL, "
    "state TEXT NOT NULL CHECK (state IN ('started', 'ok', 'failed', 'interrupted')), "
    "arrived_ms INTEGER NOT NULL, ended_ms INTEGER, bus INTEGER NOT NULL, "
    "devnum INTEGER NOT NULL, port TEXT NOT NULL, flash_path TEXT NOT NULL, "
    "image_sha256 TEXT NOT NULL, image_length INTEGER NOT NULL, from_id INTEGER, "
    "hard_id INTEGER, "
    "id_state TEXT CHECK (id_state IN ('reserved', 'used', 'released', 'uncertain')), "
    "soft_id INTEGER, rxaddr INTEGER, record_read BLOB, record_written BLOB, result INTEGER, "
    "message TEXT, flash_ms INTEGER, eeprom_ms INTEGER)";
const char TABLE_COUNT[] = "SELECT COUNT(*) FROM sqlite_master WHERE type = 'table'";
const char META_COUNT[] =
    "SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = 'meta'";

const char FIX_ACCESS[] = "give the station's user read and write access to the file and its "
                          "directory (SQLite keeps -wal and -shm files beside it)";

// Waits for the write lock: true to look again, false after BUSY_TIMEOUT_MS.
int busy_wait(void*, int tries) {
    if (static_cast<int64_t>(tries) * BUSY_POLL_US >= int64_t(BUSY_TIMEOUT_MS) * 1000)
        return 0;
    usleep(BUSY_POLL_US);
    return 1;
}

// Copying the WAL back into the database file (a checkpoint) writes and syncs that file. The
// commit that finds the WAL this long does it, unless it is an allocation: a device waits on
// that one, while after an outcome the station pauses anyway. A WAL that grows past four
// times this with no outcome written is copied back all the same.
constexpr int CHECKPOINT_PAGES = 1000;
constexpr int CHECKPOINT_PAGES_AT_MOST = 4 * CHECKPOINT_PAGES;

int after_commit(void* writing_outcome, sqlite3* db, const char*, int pages) {
    bool outcome = *static_cast<bool*>(writing_outcome);
    if (pages >= (outcome ? CHECKPOINT_PAGES : CHECKPOINT_PAGES_AT_MOST))
        sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    return SQLITE_OK;
}

uint32_t name_hash(const std::string& name) {
    uint32_t hash = FNV_OFFSET;
    for (unsigned char c : name)
        hash = (hash ^ c) * FNV_PRIME;
    return hash;
}

// What the operator can do about an SQLite failure.
const char* fix_for(int code) {
    switch (code & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return "another program held the ledger locked for more than 5 s: find what keeps a "
               "transaction open on it (a backup, an editor) and end it";
    case SQLITE_FULL:
        return "the file system that holds the ledger is full: free space on it";
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_CANTOPEN:
    case SQLITE_AUTH:
        return FIX_ACCESS;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        return "the file is no sound ledger: give the path of the line's ledger, or restore "
               "the ledger from its backup";
    case SQLITE_IOERR:
        return "the disk failed to read or write it: check the disk and the system log";
    default:
        return "check the file and the system log";
    }
}

// One prepared statement; parameters are numbered as in the shared SQL.
class Statement {
  public:
    Statement(sqlite3* db, const std::string& shared_sql) {
        std::string text = shared_sql;
        for (char& c : text)
            if (c == '$')
                c = '?';
        sqlite3_prepare_v2(db, text.c_str(), -1, &stmt_, nullptr);
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return stmt_ != nullptr; }
    void bind(int i, int64_t value) { sqlite3_bind_int64(stmt_, i, value); }
    void bind(int i, const std::string& text) {
        sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    void bind(int i, const std::vector<uint8_t>& bytes) {
        // An empty blob with a null pointer would be stored as NULL.
        static const uint8_t none = 0;
        sqlite3_bind_blob(stmt_, i, bytes.empty() ? &none : bytes.data(),
                          static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
    }
    // An identity value or `from`: 0 or below is none (it goes into no record), stored as NULL.
    void bind_id(int i, int value) {
        if (value <= 0)
            sqlite3_bind_null(stmt_, i);
        else
            bind(i, static_cast<int64_t>(value));
    }
    // SQLITE_ROW, SQLITE_DONE or an error code; a statement that did not prepare is an error.
    int step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }
    int64_t int_at(int i) const { return sqlite3_column_int64(stmt_, i); }
    int id_at(int i) const {
        return sqlite3_column_type(stmt_, i) == SQLITE_NULL ? -1 : sqlite3_column_int(stmt_, i);
    }
    std::string text_at(int i) const {
        const unsigned char* text = sqlite3_column_text(stmt_, i);
        return text ? std::string(reinterpret_cast<const char*>(text),
                                  static_cast<size_t>(sqlite3_column_bytes(stmt_, i)))
                    : std::string();
    }
    std::vector<uint8_t> bytes_at(int i) const {
        const uint8_t* data = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, i));
        return data ? std::vector<uint8_t>(data, data + sqlite3_column_bytes(stmt_, i))
                    : std::vector<uint8_t>();
    }

  private:
    sqlite3_stmt* stmt_ = nullptr;
};

AttemptRow row_from(const Statement& s) {
    using namespace sql;
    AttemptRow r;
    r.row_id = s.int_at(C_ROW_ID);
    r.station = s.text_at(C_STATION);
    r.pool = s.text_at(C_POOL);
    r.state = s.text_at(C_STATE);
    r.arrived_ms = s.int_at(C_ARRIVED);
    r.ended_ms = s.int_at(C_ENDED);
    r.bus = static_cast<int>(s.int_at(C_BUS));
    r.devnum = static_cast<int>(s.int_at(C_DEVNUM));
    r.port = s.text_at(C_PORT);
    r.flash_path = s.text_at(C_FLASH_PATH);
    r.image_sha256 = s.text_at(C_SHA256);
    r.image_length = s.int_at(C_LENGTH);
    r.from_id = s.id_at(C_FROM_ID) < 0 ? 0 : s.id_at(C_FROM_ID);
    r.hard_id = s.id_at(C_HARD_ID);
    r.id_state = s.text_at(C_ID_STATE);
    r.soft_id = s.id_at(C_SOFT_ID);
    r.rxaddr = s.id_at(C_RXADDR);
    r.record_read = s.bytes_at(C_RECORD_READ);
    r.record_written = s.bytes_at(C_RECORD_WRITTEN);
    r.result = static_cast<int>(s.int_at(C_RESULT));
    r.message = s.text_at(C_MESSAGE);
    r.flash_ms = s.int_at(C_FLASH_MS);
    r.eeprom_ms = s.int_at(C_EEPROM_MS);
    return r;
}

class SqliteLedger : public Ledger {
  public:
    SqliteLedger(const std::string& path, const std::string& station, const std::string& pool)
        : path_(path), station_(station), pool_(pool) {}
    // SQLite's connection goes first: closing any descriptor of the file drops every POSIX
    // lock the process holds on it, SQLite's own included.
    ~SqliteLedger() override {
        close_db();
        if (lock_fd_ >= 0)
            close(lock_fd_);
    }

    int open(std::string& error) override {
        // The name lock is kept when a later step fails, so a second try finds it ours.
        if (lock_fd_ < 0 && (open_file(error) != 0 || take_name(error) != 0))
            return -1;
        if (connect(true, error) != 0)
            return -1;
        if (begin_write("marking what the station left in flight", error) != 0)
            return -1;
        for (const char* query : {sql::MARK_UNCERTAIN, sql::MARK_INTERRUPTED}) {
            Statement s(db_, query);
            s.bind(1, station_);
            if (s.step() != SQLITE_DONE)
                return fail("marking what the station left in flight", error);
        }
        if (commit("marking what the station left in flight", error) != 0)
            return -1;
        opened_ = true;
        return 0;
    }

    int open_read(std::string& error) override {
        struct stat st {};
        if (stat(path_.c_str(), &st) != 0) {
            error = failure(path_, "opening it", strerror(errno),
                            "give the path of the ledger a station keeps (korvofw --ledger)");
            return -1;
        }
        read_only_ = true;
        if (connect(false, error) != 0)
            return -1;
        opened_ = true;
        return 0;
    }

    int begin(Attempt& a, int from, std::string& error) override {
        const char* what = "writing the device's row";
        if (ready(error) != 0 || begin_write(what, error) != 0)
            return -1;
        int id = a.hard_id;
        int64_t good_end = 0;
        if (from > 0) {
            const char* finding = "finding a free hard ID";
            int start = floor_.start(from);
            int64_t free_id = 0;
            if (pool_number(sql::LOWEST_FREE, pool_, start, free_id, finding, error) != 0)
                return -1;
            if (from > HARD_ID_LAST || free_id > HARD_ID_LAST) {
                sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
                return NO_ID_LEFT;
            }
            if (pool_number(sql::LOWEST_NOT_FOR_GOOD, pool_, start, good_end, finding, error) != 0)
                return -1;
            id = static_cast<int>(free_id);
        }
        Statement s(db_, sql::INSERT_ATTEMPT);
        s.bind(1, station_);
        s.bind(2, pool_);
        s.bind(3, a.arrived_ms);
        s.bind(4, static_cast<int64_t>(a.bus));
        s.bind(5, static_cast<int64_t>(a.devnum));
        s.bind(6, a.port);
        s.bind(7, a.flash_path);
        s.bind(8, a.image_sha256);
        s.bind(9, a.image_length);
        s.bind_id(10, from);
        s.bind_id(11, id);
        if (from > 0)
            s.bind(12, std::string("reserved"));
        s.bind_id(13, a.soft_id);
        s.bind_id(14, a.rxaddr);
        s.bind(15, a.record_read);
        if (s.step() != SQLITE_ROW)
            return fail(what, error);
        int64_t row_id = s.int_at(0);
        if (s.step() != SQLITE_DONE)
            return fail(what, error);
        if (from > 0) {
            Statement r(db_, sql::RESERVE_ID);
            r.bind(1, pool_);
            r.bind(2, static_cast<int64_t>(id));
            r.bind(3, station_);
            r.bind(4, row_id);
            if (r.step() != SQLITE_DONE)
                return fail("reserving the hard ID", error);
        }
        if (commit(what, error) != 0)
            return -1;
        a.row_id = row_id;
        a.hard_id = id;
        if (from > 0)
            floor_.learn(from, static_cast<int>(good_end));
        return 0;
    }

    int finish(const Attempt& a, IdFate fate, std::string& error) override {
        const char* what = "writing the device's outcome";
        if (ready(error) != 0 || begin_write(what, error) != 0)
            return -1;
        Statement s(db_, sql::FINISH_ATTEMPT);
        s.bind(1, a.row_id);
        s.bind(2, station_);
        s.bind(3, std::string(state_of(a.result)));
        s.bind(4, a.ended_ms);
        s.bind(5, a.record_read);
        s.bind(6, a.record_written);
        s.bind(7, static_cast<int64_t>(a.result));
        s.bind(8, a.message);
        s.bind(9, a.flash_ms);
        s.bind(10, a.eeprom_ms);
        s.bind(11, std::string(fate_name(fate)));
        if (s.step() != SQLITE_DONE)
            return fail(what, error);
        if (sqlite3_changes(db_) == 0) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            error = failure(path_, what,
                            "row " + std::to_string(a.row_id) + " of station " + station_ +
                                " is not in the ledger",
                            "the station's begin and finish must name the same row");
            return -1;
        }
        Statement id(db_, fate == ID_USED ? sql::USE_ID : sql::RELEASE_ID);
        id.bind(1, a.row_id);
        if (id.step() != SQLITE_DONE)
            return fail("marking the hard ID", error);
        writing_outcome_ = true;
        int rc = commit(what, error);
        writing_outcome_ = false;
        return rc;
    }

    int peek(int from, int& next, int& left, std::string& error) override {
        return peek_pool(pool_, from, next, left, error);
    }

    int peek_pool(const std::string& pool, int from, int& next, int& left,
                  std::string& error) override {
        next = HARD_ID_LAST + 1;
        left = 0;
        if (from > HARD_ID_LAST)
            return 0;
        from = from < HARD_ID_FIRST ? HARD_ID_FIRST : from;
        int start = pool == pool_ ? floor_.start(from) : from;
        // One read transaction, so both answers come from one moment.
        const char* what = "reading the free hard IDs";
        int64_t free_id = 0, taken = 0;
        if (ready(error) != 0 || exec("BEGIN", what, error) != 0 ||
            pool_number(sql::LOWEST_FREE, pool, start, free_id, what, error) != 0 ||
            pool_number(sql::TAKEN_FROM, pool, start, taken, what, error) != 0 ||
            commit(what, error) != 0)
            return -1;
        next = static_cast<int>(free_id);
        left = HARD_ID_LAST + 1 - start - static_cast<int>(taken);
        return 0;
    }

    int counts(std::vector<StationCounts>& out, std::string& error) override {
        out.clear();
        if (ready(error) != 0)
            return -1;
        Statement s(db_, sql::COUNTS);
        int rc;
        while ((rc = s.step()) == SQLITE_ROW) {
            StationCounts c;
            c.pool = s.text_at(0);
            c.station = s.text_at(1);
            c.ok = s.int_at(2);
            c.failed = s.int_at(3);
            c.interrupted = s.int_at(4);
            c.started = s.int_at(5);
            c.from_id = s.id_at(6) < 0 ? 0 : s.id_at(6);
            out.push_back(c);
        }
        return rc == SQLITE_DONE ? 0 : fail("counting the devices", error);
    }

    int rows(RowSet set, int hard_id, const RowSink& sink, std::string& error) override {
        if (ready(error) != 0)
            return -1;
        Statement s(db_, rows_query(set));
        if (set == ROWS_OF_HARD_ID)
            s.bind(1, static_cast<int64_t>(hard_id));
        int rc;
        while ((rc = s.step()) == SQLITE_ROW)
            sink(row_from(s));
        return rc == SQLITE_DONE ? 0 : fail("reading the rows", error);
    }

  private:
    // Creates the file (owner and group only, whatever the umask) or opens it, for the lock.
    int open_file(std::string& error) {
        int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, LEDGER_MODE);
        if (fd >= 0 && fchmod(fd, LEDGER_MODE) != 0) {
            close(fd);
            fd = -1;
        } else if (fd < 0 && errno == EEXIST) {
            fd = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
        }
        if (fd < 0) {
            error = failure(path_, "opening it", strerror(errno), FIX_ACCESS);
            return -1;
        }
        lock_fd_ = fd;
        return 0;
    }

    int take_name(std::string& error) {
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        lock.l_start = NAME_LOCK_BASE + static_cast<off_t>(name_hash(station_) % NAME_LOCK_SPAN);
        lock.l_len = 1;
        if (fcntl(lock_fd_, F_OFD_SETLK, &lock) == 0)
            return 0;
        int cause = errno;
        close(lock_fd_);
        lock_fd_ = -1;
        if (cause == EAGAIN || cause == EACCES)
            error = failure(path_, "taking the station name",
                            "a station named " + station_ + " is running on this ledger",
                            "stop that station first, or give this one another name "
                            "(--station NAME)");
        else
            error = failure(path_, "taking the station name", strerror(cause),
                            "use a file system with POSIX record locks for the ledger");
        return -1;
    }

    int connect(bool writable, std::string& error) {
        int flags = writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY;
        if (sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr) != SQLITE_OK)
            return fail("opening it", error);
        sqlite3_busy_handler(db_, busy_wait, nullptr);
        sqlite3_wal_hook(db_, after_commit, &writing_outcome_);
        // FULL: a committed reservation survives a power cut, so no ID is handed out twice.
        if (writable && (exec("PRAGMA journal_mode = WAL", "opening it", error) != 0 ||
                         exec("PRAGMA synchronous = FULL", "opening it", error) != 0))
            return -1;
        if (exec("PRAGMA foreign_keys = ON", "opening it", error) != 0)
            return -1;
        return check_schema(writable, error);
    }

    // Creates the schema in an empty file; refuses a file of another program or version.
    int check_schema(bool may_create, std::string& error) {
        const char* what = "reading its schema";
        if (may_create ? begin_write(what, error) != 0 : exec("BEGIN", what, error) != 0)
            return -1;
        int64_t meta = 0, tables = 0;
        if (number(META_COUNT, meta, what, error) != 0 ||
            number(TABLE_COUNT, tables, what, error) != 0)
            return -1;
        if (meta == 0 && (tables > 0 || !may_create)) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            close_db();
            error = failure(path_, what,
                            tables > 0 ? "the file holds tables of another program"
                                       : "the file holds no ledger yet",
                            may_create ? "give the path of the line's ledger, or a new file"
                                       : "give the path of the ledger a station keeps");
            return -1;
        }
        if (meta == 0) {
            std::string hard_ids = std::string(sql::CREATE_HARD_IDS) + " WITHOUT ROWID";
            if (exec(CREATE_ATTEMPTS, "creating the schema", error) != 0 ||
                exec(hard_ids.c_str(), "creating the schema", error) != 0)
                return -1;
            for (const char* create : sql::CREATE_REST)
                if (exec(create, "creating the schema", error) != 0)
                    return -1;
        }
        std::string found = "none";
        {
            Statement version(db_, sql::READ_VERSION);
            if (version.step() == SQLITE_ROW)
                found = version.text_at(0);
        }
        if (found != std::to_string(SCHEMA_VERSION)) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            close_db();
            error = failure(path_, what,
                            "its schema version is " + found + ", this program knows version " +
                                std::to_string(SCHEMA_VERSION),
                            "use the korvofw release that wrote this ledger, or a newer one");
            return -1;
        }
        return commit(what, error);
    }

    int number(const char* query, int64_t& value, const char* what, std::string& error) {
        Statement s(db_, query);
        if (s.step() != SQLITE_ROW)
            return fail(what, error);
        value = s.int_at(0);
        return 0;
    }

    // A number from a query of pool $1 and hard ID $2.
    int pool_number(const char* query, const std::string& pool, int from, int64_t& value,
                    const char* what, std::string& error) {
        Statement s(db_, query);
        s.bind(1, pool);
        s.bind(2, static_cast<int64_t>(from));
        if (s.step() != SQLITE_ROW)
            return fail(what, error);
        value = s.int_at(0);
        return 0;
    }

    // After a failed call the connection is opened afresh; the name lock stays held.
    int ready(std::string& error) {
        if (!opened_) {
            error = failure(path_, "using it", "the ledger is not open", "open it first");
            return -1;
        }
        return db_ ? 0 : connect(!read_only_, error);
    }

    int begin_write(const char* what, std::string& error) {
        return exec("BEGIN IMMEDIATE", what, error);
    }
    int commit(const char* what, std::string& error) { return exec("COMMIT", what, error); }

    int exec(const char* statement, const char* what, std::string& error) {
        if (sqlite3_exec(db_, statement, nullptr, nullptr, nullptr) != SQLITE_OK)
            return fail(what, error);
        return 0;
    }

    // Builds the message from SQLite's last error, undoes the transaction and closes the
    // connection, so that the next call starts from a fresh one.
    int fail(const char* what, std::string& error) {
        int code = db_ ? sqlite3_extended_errcode(db_) : SQLITE_CANTOPEN;
        std::string cause = db_ ? sqlite3_errmsg(db_) : "out of memory";
        error = failure(path_, what, cause, fix_for(code));
        if (db_ && !sqlite3_get_autocommit(db_))
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        close_db();
        return -1;
    }

    void close_db() {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }

    std::string path_, station_, pool_;
    sqlite3* db_ = nullptr;
    int lock_fd_ = -1;
    bool read_only_ = false;
    bool opened_ = false;
    bool writing_outcome_ = false; // for after_commit()
    IdFloor floor_;
};

} // namespace

std::unique_ptr<Ledger> make_sqlite_ledger(const std::string& path, const std::string& station,
                                           const std::string& pool) {
    return std::make_unique<SqliteLedger>(path, station, pool);
}

} // namespace ledger
