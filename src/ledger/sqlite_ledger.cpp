// The ledger in an SQLite file, for the stations of one machine.
//
// Concurrent allocation: the file is in WAL mode and every writing transaction starts with
// BEGIN IMMEDIATE, which takes SQLite's single write lock before its first read. The lowest-free
// query and the reservation therefore run as one unit that no other station can interleave
// with; a station that finds the lock taken waits its turn (the busy time-out) instead of
// failing, and readers go on meanwhile. The primary key on (pool, hard_id) is the backstop.
//
// The station's name: an open-file-description lock on one byte of the database file, which
// the kernel drops when the station dies, however it dies. A reader tells that a station runs
// by asking for a conflicting lock on that byte (F_OFD_GETLK), which takes nothing.
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

// The first version's table; the later columns come from sql::UPGRADES.
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
class Statement : public Row {
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

    void bind(int i, const Param& p) {
        // An empty blob with a null pointer would be stored as NULL.
        static const uint8_t none = 0;
        int size = static_cast<int>(p.text.size());
        if (p.kind == Param::NUMBER)
            sqlite3_bind_int64(stmt_, i, p.number);
        else if (p.kind == Param::TEXT)
            sqlite3_bind_text(stmt_, i, p.text.data(), size, SQLITE_TRANSIENT);
        else if (p.kind == Param::BYTES)
            sqlite3_bind_blob(stmt_, i, size == 0 ? static_cast<const void*>(&none) : p.text.data(),
                              size, SQLITE_TRANSIENT);
        else
            sqlite3_bind_null(stmt_, i);
    }
    // SQLITE_ROW, SQLITE_DONE or an error code; a statement that did not prepare is an error.
    int step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }

    bool null(int i) const override { return sqlite3_column_type(stmt_, i) == SQLITE_NULL; }
    int64_t number(int i) const override { return sqlite3_column_int64(stmt_, i); }
    std::string text(int i) const override {
        const unsigned char* text = sqlite3_column_text(stmt_, i);
        return text ? std::string(reinterpret_cast<const char*>(text),
                                  static_cast<size_t>(sqlite3_column_bytes(stmt_, i)))
                    : std::string();
    }
    std::vector<uint8_t> bytes(int i) const override {
        const uint8_t* data = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, i));
        return data ? std::vector<uint8_t>(data, data + sqlite3_column_bytes(stmt_, i))
                    : std::vector<uint8_t>();
    }

  private:
    sqlite3_stmt* stmt_ = nullptr;
};

class SqliteLedger : public SqlLedger {
  public:
    using SqlLedger::SqlLedger;
    // SQLite's connection goes first: closing any descriptor of the file drops every POSIX
    // lock the process holds on it, SQLite's own included.
    ~SqliteLedger() override {
        disconnect();
        if (lock_fd_ >= 0)
            close(lock_fd_);
        if (probe_fd_ >= 0)
            close(probe_fd_);
    }

  protected:
    // The station's name is taken before the first connection, on a descriptor of its own,
    // and kept when a later step fails, so that a second try finds it ours. Only init creates
    // the file.
    int connect(Access access, std::string& error) override {
        bool writable = access != REPORT;
        if (file_refused(access == CREATOR, error) != 0 ||
            (access == STATION && lock_fd_ < 0 && (open_file(error) != 0 || take_name(error) != 0)))
            return -1;
        int flags = writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY;
        if (sqlite3_open_v2(location_.c_str(), &db_, flags, nullptr) != SQLITE_OK)
            return fail("opening it", error);
        sqlite3_busy_handler(db_, busy_wait, nullptr);
        sqlite3_wal_hook(db_, after_commit, &writing_outcome_);
        // FULL: a committed reservation survives a power cut, so no ID is handed out twice.
        if (writable && (run("PRAGMA journal_mode = WAL", {}, nullptr, "opening it", error) != 0 ||
                         run("PRAGMA synchronous = FULL", {}, nullptr, "opening it", error) != 0))
            return -1;
        if (run("PRAGMA foreign_keys = ON", {}, nullptr, "opening it", error) != 0)
            return -1;
        return check_schema(access, error);
    }

    bool connected() const override { return db_ != nullptr; }

    // Closing undoes an open transaction.
    void disconnect() override {
        sqlite3_close_v2(db_);
        db_ = nullptr;
        writing_outcome_ = false;
    }

    // The scheme above: every writing transaction (the schema, an allocation, a row, an
    // outcome) takes the file's write lock first; a reading one takes none.
    int begin_transaction(Txn kind, const char* what, std::string& error) override {
        writing_outcome_ = kind == OUTCOME;
        return run(kind == READ ? "BEGIN" : "BEGIN IMMEDIATE", {}, nullptr, what, error);
    }

    // Refuses a file of another program.
    int prepare_schema(bool may_create, const char* what, std::string& error) override {
        int64_t meta = 0, tables = 0;
        if (one_number(META_COUNT, {}, meta, what, error) != 0 ||
            one_number(TABLE_COUNT, {}, tables, what, error) != 0)
            return -1;
        if (meta > 0)
            return 0;
        if (tables > 0)
            return refuse(what, "the file holds tables of another program",
                          may_create ? "give the path of the line's ledger, or a new file"
                                     : "give the path of the line's ledger",
                          error);
        if (!may_create)
            return refuse(what, "the file holds no ledger yet", fix_init(location_), error);
        // WITHOUT ROWID: the key holds the state too.
        return create_schema(CREATE_ATTEMPTS, " WITHOUT ROWID", error);
    }

    int run(const std::string& query, const std::vector<Param>& params, const RowFn& each,
            const char* what, std::string& error) override {
        Statement s(db_, query);
        for (size_t i = 0; i < params.size(); ++i)
            s.bind(static_cast<int>(i) + 1, params[i]);
        int rc;
        while ((rc = s.step()) == SQLITE_ROW)
            if (each)
                each(s);
        return rc == SQLITE_DONE ? 0 : fail(what, error);
    }

    // Another descriptor's lock on the name's byte; a descriptor of its own (kept till the end,
    // see the destructor), so that this ledger's own station counts too.
    int name_held(const std::string& station, bool& held, std::string& error) override {
        if (probe_fd_ < 0)
            probe_fd_ = ::open(location_.c_str(), O_RDONLY | O_CLOEXEC);
        struct flock lock = name_lock(station);
        if (probe_fd_ < 0 || fcntl(probe_fd_, F_OFD_GETLK, &lock) != 0) {
            error =
                failure(location_, "looking for the running stations", strerror(errno), FIX_ACCESS);
            return -1;
        }
        held = lock.l_type != F_UNLCK;
        return 0;
    }

    // Whoever may write the file may change its tables.
    int upgrade_refused(const std::string&, std::string&) override { return 0; }

    std::string made() const override {
        return "ledger " + location_ + ": created " +
               (file_made_ ? "the SQLite file (mode 0660, WAL) with the ledger's tables"
                           : "the ledger's tables in the empty file (WAL)") +
               ", schema version " + std::to_string(SCHEMA_VERSION);
    }

  private:
    static struct flock name_lock(const std::string& station) {
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        lock.l_start = NAME_LOCK_BASE + static_cast<off_t>(name_hash(station) % NAME_LOCK_SPAN);
        lock.l_len = 1;
        return lock;
    }

    // A ledger is a regular file (a FIFO would block the opening, a directory or a device holds
    // no ledger). One that is not there yet is created when `create` (owner and group only,
    // whatever the umask), else refused with the command that creates it.
    int file_refused(bool create, std::string& error) {
        struct stat st {};
        if (stat(location_.c_str(), &st) != 0) {
            int cause = errno;
            if (cause == ENOENT && create)
                return make_file(error);
            error = failure(location_, "opening it", strerror(cause),
                            cause == ENOENT ? fix_init(location_) : FIX_ACCESS);
            return -1;
        }
        if (S_ISREG(st.st_mode))
            return 0;
        error = failure(location_, "opening it", "it is " + file_kind(st.st_mode) + ", not a file",
                        "give the path of the line's ledger file");
        return -1;
    }

    static std::string file_kind(mode_t mode) {
        return S_ISDIR(mode)    ? "a directory"
               : S_ISFIFO(mode) ? "a FIFO"
               : S_ISCHR(mode)  ? "a character device"
               : S_ISBLK(mode)  ? "a block device"
               : S_ISSOCK(mode) ? "a socket"
                                : "no regular file";
    }

    int make_file(std::string& error) {
        int fd = ::open(location_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, LEDGER_MODE);
        if (fd < 0 || fchmod(fd, LEDGER_MODE) != 0) {
            error = failure(location_, "creating it", strerror(errno), FIX_ACCESS);
            if (fd >= 0) {
                close(fd);
                unlink(location_.c_str());
            }
            return -1;
        }
        close(fd);
        file_made_ = true;
        return 0;
    }

    // Opens the file for the station's name lock.
    int open_file(std::string& error) {
        int fd = ::open(location_.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            int cause = errno;
            error = failure(location_, "opening it", strerror(cause),
                            cause == ENOENT ? fix_init(location_) : FIX_ACCESS);
            return -1;
        }
        lock_fd_ = fd;
        return 0;
    }

    int take_name(std::string& error) {
        struct flock lock = name_lock(station_);
        if (fcntl(lock_fd_, F_OFD_SETLK, &lock) == 0)
            return 0;
        int cause = errno;
        close(lock_fd_);
        lock_fd_ = -1;
        if (cause == EAGAIN || cause == EACCES)
            error = failure(location_, "taking the station name",
                            "a station named " + station_ + " is running on this ledger",
                            "stop that station first, or give this one another name "
                            "(--station NAME)");
        else
            error = failure(location_, "taking the station name", strerror(cause),
                            "use a file system with POSIX record locks for the ledger");
        return -1;
    }

    // Builds the message from SQLite's last error, undoes the transaction and closes the
    // connection, so that the next call starts from a fresh one.
    int fail(const char* what, std::string& error) {
        int code = db_ ? sqlite3_extended_errcode(db_) : SQLITE_CANTOPEN;
        std::string cause = db_ ? sqlite3_errmsg(db_) : "out of memory";
        error = failure(location_, what, cause, fix_for(code));
        if (db_ && !sqlite3_get_autocommit(db_))
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        disconnect();
        return -1;
    }

    sqlite3* db_ = nullptr;
    int lock_fd_ = -1;
    int probe_fd_ = -1;            // for name_held()
    bool file_made_ = false;       // init() created the file
    bool writing_outcome_ = false; // for after_commit(): the open transaction writes an outcome
};

} // namespace

std::unique_ptr<Ledger> make_sqlite_ledger(const std::string& path, const std::string& station,
                                           const std::string& pool) {
    return std::make_unique<SqliteLedger>(path, station, pool);
}

} // namespace ledger
