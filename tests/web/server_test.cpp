// korvofw-ledger LEDGER serve on a ledger that real stations wrote: what each address answers
// (status, type, security headers, the export's and a device's bytes), and hostile requests,
// after each of which the server still answers and the ledger is unchanged, on both back ends.
#include "line_data.h"
#include "serve_fixture.h"
#include "static_files.h"

#include <nlohmann/json.hpp>
#include <sys/resource.h>

#include <map>

using json = nlohmann::json;
using namespace ledger;

namespace {

const std::string CSP = "default-src 'self'; img-src 'self' data:; style-src 'self'; "
                        "script-src 'self'; frame-ancestors 'none'";
const char* const JSON_TYPE = "application/json";
const char* const HTML_TYPE = "text/html; charset=utf-8";

std::string file_text(const char* path) {
    const web::StaticFile* f = web::find_static(path);
    EXPECT_NE(f, nullptr) << path;
    return f ? std::string(reinterpret_cast<const char*>(f->body), f->size) : "";
}

void expect_security_headers(const Answer& a, const std::string& what) {
    EXPECT_EQ(a.header("X-Content-Type-Options"), "nosniff") << what;
    EXPECT_EQ(a.header("Content-Security-Policy"), CSP) << what;
    EXPECT_EQ(a.header("Referrer-Policy"), "no-referrer") << what;
}

// The record's fields as the station wrote them into the bytes (see the record's layout).
void expect_record(const json& got, const std::vector<uint8_t>& bytes, const AttemptRow& row) {
    if (bytes.empty()) {
        EXPECT_TRUE(got.is_null()) << got;
        return;
    }
    ASSERT_EQ(bytes.size(), 80u);
    EXPECT_EQ(got["hex"], hex_bytes(bytes));
    EXPECT_EQ(got["commit"], COMMIT);
    EXPECT_EQ(got["tag"], "0102");
    EXPECT_EQ(got["hard_id"], hex4(row.hard_id)) << "bytes 23-24, the ID in bits 15..3";
    EXPECT_EQ(got["soft_id"], 5);
    EXPECT_EQ(got["rxaddr"], hex4(row.rxaddr));
}

} // namespace

TEST_P(Serve, AnswersEachAddressWithItsTypeHeadersAndTheLedgersBytes) {
    make_line();
    Server server(location);
    struct Route {
        const char* path;
        int status;
        const char* type;
        const char* cache;
        const char* body_file; // the built-in file it serves, if any
    };
    const Route routes[] = {
        {"/", 200, HTML_TYPE, "no-cache", "/index.html"},
        {"/device/0x0b", 200, HTML_TYPE, "no-cache", "/device.html"},
        {"/device/11", 200, HTML_TYPE, "no-cache", "/device.html"},
        {"/style.css", 200, "text/css; charset=utf-8", "no-cache", "/style.css"},
        {"/chart.js", 200, "text/javascript; charset=utf-8", "no-cache", "/chart.js"},
        {"/device/0x2000", 404, HTML_TYPE, "no-store", nullptr},
        {"/device/0", 404, HTML_TYPE, "no-store", nullptr},
        {"/device/1a", 404, HTML_TYPE, "no-store", nullptr},
        {"/nothing", 404, HTML_TYPE, "no-store", nullptr},
        {"/api/device/0x0B", 200, JSON_TYPE, "no-store", nullptr},
        {"/api/device/0xzz", 404, JSON_TYPE, "no-store", nullptr},
        {"/api/nothing", 404, JSON_TYPE, "no-store", nullptr},
        {"/export.csv", 200, "text/csv; charset=utf-8", "no-store", nullptr},
        {"/api/line", 200, JSON_TYPE, "no-store", nullptr},
        {"/metrics", 200, "text/plain; version=0.0.4; charset=utf-8", "no-store", nullptr},
    };
    for (const Route& r : routes) {
        for (const char* method : {"GET", "HEAD"}) {
            Answer a = ask(server.port, r.path, method);
            const std::string what = std::string(method) + " " + r.path;
            EXPECT_EQ(a.status, r.status) << what;
            EXPECT_EQ(a.header("Content-Type"), r.type) << what;
            EXPECT_EQ(a.header("Cache-Control"), r.cache) << what;
            expect_security_headers(a, what);
            if (std::string(method) == "HEAD") {
                EXPECT_EQ(a.body, "") << what;
            } else if (r.body_file != nullptr) {
                EXPECT_EQ(a.body, file_text(r.body_file)) << what;
            }
        }
    }
    // The line's texts as a reader of the ledger reads them now (the metrics hold no clock).
    std::unique_ptr<Ledger> led = open_reader(location);
    web::LineTexts texts;
    std::string error;
    ASSERT_EQ(web::LineReader(*led).read(now_ms(), texts, error), 0) << error;
    EXPECT_EQ(ask(server.port, "/metrics").body, texts.metrics_text);
    json line = json::parse(ask(server.port, "/api/line").body);
    EXPECT_EQ(line["stations"].size(), 2u) << line;
    EXPECT_EQ(line["recent"].size(), 4u) << line;

    // The export: korvofw-ledger's own bytes, as a download, through a real client (chunked).
    ProcessResult exported = run_process({KORVOFW_LEDGER_BIN, location, "export"});
    ProcessResult fetched =
        run_process({"/usr/bin/curl", "-sS", "--fail", "-D", scratch.path("headers"),
                     "http://127.0.0.1:" + std::to_string(server.port) + "/export.csv"});
    EXPECT_EQ(fetched.status, 0) << fetched.err;
    EXPECT_EQ(fetched.out, exported.out);
    EXPECT_TRUE(has(to_text(read_bytes(scratch.path("headers"))),
                    "Content-Disposition: attachment; filename=\"korvofw-ledger.csv\"\r\n"));

    // Each hard ID's attempts, field by field against the rows, the records decoded.
    std::map<int, std::vector<AttemptRow>> by_id;
    for (const AttemptRow& row : rows())
        by_id[row.hard_id].push_back(row);
    ASSERT_EQ(by_id.size(), 3u) << "0x10; 0x11 failed, then programmed; 0x40";
    ASSERT_EQ(by_id[0x40][0].test_results, R"({"fw":"1.2"})");
    for (const auto& [id, want] : by_id) {
        Answer a = ask(server.port, "/api/device/" + std::to_string(id)); // decimal
        json got = json::parse(a.body);
        EXPECT_EQ(got["hard_id"], hex4(id));
        ASSERT_EQ(got["attempts"].size(), want.size()) << a.body;
        for (size_t k = 0; k < want.size(); ++k) {
            const json& g = got["attempts"][k];
            const AttemptRow& w = want[k];
            const std::string seen = std::to_string(g["row_id"].get<int64_t>()) + " " +
                                     g["station"].get<std::string>() + " " + g["state"].dump() +
                                     " " + g["message"].dump() + " " + g["hard_id"].dump() + " " +
                                     g["id_state"].dump() + " " + g["from_id"].dump() + " " +
                                     g["image_sha256"].get<std::string>() + " " +
                                     g["ended_ms"].dump() + " " + g["erase_ms"].dump();
            EXPECT_EQ(seen, std::to_string(w.row_id) + " " + w.station + " \"" + w.state + "\" \"" +
                                w.message + "\" \"" + hex4(w.hard_id) + "\" \"" + w.id_state +
                                "\" \"" + hex4(w.from_id) + "\" " + w.image_sha256 + " " +
                                std::to_string(w.ended_ms) + " null");
            expect_record(g["record_written"], w.record_written, w);
            EXPECT_EQ(g["test_status"], w.tested() ? json(w.test_status) : json());
            EXPECT_EQ(g["test_results"], w.tested() ? json::parse(w.test_results) : json());
            EXPECT_EQ(g["record_read"].is_null() ? "" : g["record_read"]["hex"],
                      hex_bytes(w.record_read));
        }
    }
    EXPECT_EQ(ask(server.port, "/api/device/0x1A2").body,
              R"({"v":1,"hard_id":"0x01A2","attempts":[]})");
    EXPECT_EQ(server.stop(), 0);
    EXPECT_TRUE(has(server.said, "Stopped.\n")) << server.said;
}

// Each hostile request gets its error or is dropped; the server answers the others all along,
// and the ledger's rows and schema stay byte for byte as they were.
TEST_P(Serve, RefusesHostileRequestsAndKeepsServingAndTheLedgerUnchanged) {
    make_line();
    const std::string before = dump();
    Server server(location);
    // Half a request line, then silence: it holds one connection, never the server.
    int half_open = connect_to(server.port);
    ASSERT_EQ(send(half_open, "GET /api/li", 11, MSG_NOSIGNAL), 11);
    const std::string page = ask(server.port, "/").body;
    ASSERT_EQ(page, file_text("/index.html"));

    auto get = [](const std::string& target, const std::string& headers = "") {
        return "GET " + target + " HTTP/1.0\r\n" + headers + "\r\n";
    };
    std::string many;
    for (int i = 0; i < 5000; ++i)
        many += "X-" + std::to_string(i) + ": v\r\n";
    struct Hostile {
        const char* what;
        std::string request;
        std::vector<int> answers; // the statuses it may get
        bool may_drop;            // or the connection closed without one
    };
    const Hostile table[] = {
        {"traversal", get("/../../etc/passwd"), {404}, false},
        {"escaped dots", get("/%2e%2e/%2e%2e/etc/passwd"), {404}, false},
        {"escaped slashes", get("/static/..%2f..%2fetc/passwd"), {404}, false},
        {"from a file", get("/chart.js/../../../etc/passwd"), {404}, false},
        {"from the API", get("/api/device/..%2f..%2fetc%2fpasswd"), {404}, false},
        {"backslashes", get("/..\\..\\etc\\passwd"), {404}, false},
        {"invalid UTF-8", get("/device/\xff\xfe\xc0\xaf"), {404}, false},
        {"escaped NUL", get("/index.html%00.txt"), {404}, false},
        // libmicrohttpd ends the path at a NUL: it reaches no further than the text before it.
        {"NUL", get(std::string("/index.html\0.txt", 15)), {200, 400, 404}, true},
        {"huge URL", get("/" + std::string(100 * 1024, 'a')), {414}, true},
        {"huge header", get("/", "X-Big: " + std::string(100 * 1024, 'b') + "\r\n"), {431}, true},
        {"many headers", get("/", many), {431}, true},
        {"POST", "POST /api/line HTTP/1.0\r\nContent-Length: 5\r\n\r\nhello", {405}, false},
        {"PUT", "PUT /export.csv HTTP/1.0\r\nContent-Length: 1\r\n\r\nx", {405}, false},
        {"DELETE", "DELETE /api/device/0x10 HTTP/1.0\r\n\r\n", {405}, false},
        {"not HTTP", "HELLO THERE\r\n\r\n", {400}, true},
        {"a hard ID too long", get("/api/device/0x00000000000010"), {404}, false},
        {"a hard ID beyond 13 bits", get("/api/device/0x2010"), {404}, false},
    };
    for (const Hostile& h : table) {
        Answer a = send_raw(server.port, h.request);
        const bool expected =
            std::find(h.answers.begin(), h.answers.end(), a.status) != h.answers.end();
        EXPECT_TRUE(expected || (h.may_drop && a.status == 0)) << h.what << ": " << a.status;
        EXPECT_FALSE(has(a.body, "root:")) << h.what;
        if (a.status == 405) {
            EXPECT_EQ(a.header("Allow"), "GET, HEAD") << h.what;
        }
        if (a.status == 200) {
            EXPECT_EQ(a.body, page) << h.what;
        }
        if (a.status != 0 && a.status != 400 && a.status != 414 && a.status != 431)
            expect_security_headers(a, h.what); // the library's own refusals: its fixed text
        EXPECT_EQ(ask(server.port, "/").body, page) << "after " << h.what;
        EXPECT_EQ(ask(server.port, "/api/line").status, 200) << "after " << h.what;
        EXPECT_EQ(ask(server.port, "/api/device/0x10").status, 200) << "after " << h.what;
    }

    // A thousand connections at once, each asking: answered, or dropped over the limits.
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::max<rlim_t>(files.rlim_cur, std::min<rlim_t>(files.rlim_max, 4096));
    setrlimit(RLIMIT_NOFILE, &files);
    std::vector<int> crowd;
    for (int i = 0; i < 1000; ++i) {
        crowd.push_back(connect_to(server.port));
        send(crowd.back(), "GET /api/device/0x11 HTTP/1.0\r\n\r\n", 34, MSG_NOSIGNAL);
    }
    int answered = 0;
    for (int fd : crowd) {
        Answer a = read_answer(fd);
        EXPECT_TRUE(a.status == 0 || a.status == 200) << a.status;
        if (a.status == 200) {
            EXPECT_TRUE(has(a.body, "\"hard_id\":\"0x0011\"")) << a.body;
        }
        answered += a.status == 200;
    }
    EXPECT_GT(answered, 0);
    EXPECT_EQ(ask(server.port, "/").body, page) << "after the crowd";

    // Names from the ledger as JSON strings and label values: no quote or line break of their
    // own; markup stays text (the pages show it as such).
    const std::string line = ask(server.port, "/api/line").body;
    const std::string device = ask(server.port, "/api/device/0x40").body;
    const std::string metrics = ask(server.port, "/metrics").body;
    for (const std::string* json_text : {&line, &device})
        EXPECT_TRUE(has(*json_text, R"("station":"st \"q\"\nx")")) << *json_text;
    EXPECT_TRUE(has(line, R"("station":"<script>alert(1)</script>")")) << line;
    EXPECT_TRUE(has(metrics, R"(station="st \"q\"\nx")")) << metrics;
    EXPECT_TRUE(has(metrics, R"(station="<script>alert(1)</script>")")) << metrics;

    // The half-open connection is dropped after the server's 10 s timeout (bounded: 20 s).
    Answer dropped = read_answer(half_open);
    EXPECT_EQ(dropped.status, 0);
    EXPECT_EQ(server.stop(), 0);
    EXPECT_EQ(dump(), before);
}

LEDGER_ON_BOTH_BACK_ENDS(Serve);

// The reader role of docs/install.md: serve works through it, and it can change nothing. While
// it may not read the rows, the line's texts: first the reason (503), later the last ones read,
// marked stale.
using ReaderRole = Serve;

TEST_P(ReaderRole, ServesThroughARoleThatMayOnlyReadAndSaysWhenItCannot) {
    make_line();
    const std::string role = "korvofw_view_" + std::to_string(getpid());
    const size_t name_at = location.find("@/") + 2;
    const std::string database = location.substr(name_at, location.find('?') - name_at);
    const std::string grant = "GRANT SELECT ON attempts, hard_ids, meta TO " + role;
    const std::string revoke = "REVOKE SELECT ON attempts FROM " + role;
    raw_sql(location, "CREATE ROLE " + role +
                          " LOGIN PASSWORD 'choose-another'; GRANT CONNECT ON "
                          "DATABASE " +
                          database + " TO " + role + "; GRANT USAGE ON SCHEMA public TO " + role +
                          "; " + grant + "; " + revoke);
    const std::string reader =
        "postgresql://" + role + "@" + location.substr(location.find("@/") + 1);
    const std::string before = dump();
    Server server(reader);
    Answer refused = ask(server.port, "/api/line"), read, stale;
    EXPECT_EQ(refused.status, 503);
    EXPECT_TRUE(has(json::parse(refused.body)["error"], "permission denied")) << refused.body;
    raw_sql(location, grant);
    // The refresher reads once a second.
    eventually([&] { return (read = ask(server.port, "/api/line")).status == 200; });
    EXPECT_EQ(json::parse(read.body)["stations"].size(), 2u) << read.body;
    EXPECT_EQ(read.header("X-Korvofw-Stale"), "");
    EXPECT_EQ(ask(server.port, "/metrics").status, 200);
    EXPECT_EQ(json::parse(ask(server.port, "/api/device/0x11").body)["attempts"].size(), 2u);
    EXPECT_EQ(ask(server.port, "/export.csv").body,
              run_process({KORVOFW_LEDGER_BIN, location, "export"}).out);
    raw_sql(location, revoke);
    eventually(
        [&] { return (stale = ask(server.port, "/api/line")).header("X-Korvofw-Stale") == "1"; });
    EXPECT_EQ(stale.status, 200);
    EXPECT_EQ(json::parse(stale.body)["stations"], json::parse(read.body)["stations"]);
    EXPECT_EQ(server.stop(), 0);

    for (const char* write :
         {"INSERT INTO meta VALUES ('k', 'v')", "UPDATE attempts SET message = ''",
          "DELETE FROM hard_ids", "CREATE TABLE t (x int)"}) {
        ProcessResult r =
            run_process({"/usr/bin/psql", "-XAtq", "-v", "ON_ERROR_STOP=1", "-c", write, reader});
        EXPECT_NE(r.status, 0) << write;
        EXPECT_TRUE(has(r.err, "permission denied")) << write << ": " << r.err;
    }
    EXPECT_EQ(dump(), before);
    raw_sql(location, "DROP OWNED BY " + role + "; DROP ROLE " + role);
}

INSTANTIATE_TEST_SUITE_P(Backends, ReaderRole, ::testing::Values(POSTGRES),
                         [](const auto& info) { return BACKEND_NAMES[info.param]; });

// What serve cannot serve it refuses at once, with the cause and the fix; a signal stops it.
TEST(ServeCommand, RefusesALedgerAnAddressOrAPortItCannotUseAndStopsOnSignals) {
    ScratchDir dir;
    const std::string missing = dir.path("none.db"), db = dir.path("line.db");
    auto serve = [](const std::string& ledger, const std::string& listen) {
        return run_process({KORVOFW_LEDGER_BIN, ledger, "serve", "--listen", listen});
    };
    ProcessResult no_ledger = serve(missing, "127.0.0.1:0");
    EXPECT_EQ(no_ledger.status, 1);
    EXPECT_EQ(no_ledger.err, run_process({KORVOFW_LEDGER_BIN, missing, "summary"}).err);
    EXPECT_FALSE(std::filesystem::exists(missing));

    init_ledger(db);
    for (const char* listen : {"localhost:8080", "127.0.0.1", "127.0.0.1:65536", "[::1:8080",
                               "127.0.0.1:80x", ":8080", "127.0.0.1:"}) {
        ProcessResult r = serve(db, listen);
        EXPECT_EQ(r.status, 2) << listen;
        EXPECT_EQ(r.err.rfind("korvofw-ledger: invalid --listen \"" + std::string(listen) +
                                  "\" (give a numeric address and a port, such as 127.0.0.1:8080, "
                                  "0.0.0.0:8080 or [::1]:8080)\nUsage: korvofw-ledger ",
                              0),
                  0u)
            << r.err;
    }
    ProcessResult extra = run_process({KORVOFW_LEDGER_BIN, db, "serve", "--port", "80"});
    EXPECT_EQ(extra.status, 2);
    EXPECT_TRUE(has(extra.err, "serve takes only --listen ADDR:PORT\nUsage: ")) << extra.err;

    Server first(db, {"--listen", "127.0.0.1:0"}), v6(db, {"--listen", "[::1]:0"});
    EXPECT_EQ(first.said.rfind("Serving " + db + " at http://127.0.0.1:", 0), 0u) << first.said;
    EXPECT_EQ(v6.said.rfind("Serving " + db + " at http://[::1]:", 0), 0u) << v6.said;
    const std::string taken = "127.0.0.1:" + std::to_string(first.port);
    ProcessResult in_use = serve(db, taken);
    EXPECT_EQ(in_use.status, 1);
    EXPECT_EQ(in_use.err, "korvofw-ledger: cannot listen at " + taken +
                              ": another program listens there; pick another port with --listen "
                              "(such as --listen 127.0.0.1:8081)\n");
    EXPECT_EQ(ask(first.port, "/api/device/0x1").status, 200) << "the first one serves on";
    EXPECT_EQ(first.stop(SIGINT), 0);
    EXPECT_EQ(v6.stop(SIGTERM), 0);
    for (const Server* s : {&first, &v6})
        EXPECT_TRUE(has(s->said, "/\nStopped.\n")) << s->said;
}

// A ledger far larger than every buffer between it and a client that does not read: two such
// exports are held, a third is refused until one ends, and the whole ledger, streamed, is
// byte for byte korvofw-ledger's export.
TEST(ServeExport, StreamsALargeLedgerAndSendsTwoAtOnce) {
    ScratchDir dir;
    const std::string db = dir.path("line.db");
    init_ledger(db);
    raw_sql(db, "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 80000) "
                "INSERT INTO attempts (station, pool, state, arrived_ms, ended_ms, bus, devnum, "
                "port, flash_path, image_sha256, image_length, result, message, flash_ms, "
                "eeprom_ms) SELECT 'st-' || (i % 8), 'default', 'ok', 1714564800000 + i * 1000, "
                "1714564803000 + i * 1000, 1, i % 127, '1-1.4', '/fw/app.hex', printf('%064d', i), "
                "414, 0, 'programmed', 2500, 300 FROM n");
    const std::string exported = run_process({KORVOFW_LEDGER_BIN, db, "export"}).out;
    ASSERT_GT(exported.size(), 12u << 20);
    Server server(db);
    int held[2];
    for (int& fd : held) {
        fd = connect_to(server.port);
        const int small = 4096;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        const std::string request = "GET /export.csv HTTP/1.0\r\n\r\n";
        ASSERT_EQ(send(fd, request.data(), request.size(), 0),
                  static_cast<ssize_t>(request.size()));
        char start[12];
        ASSERT_EQ(recv(fd, start, sizeof start, MSG_WAITALL), 12);
        EXPECT_EQ(std::string(start, 12), "HTTP/1.1 200");
    }
    Answer third = ask(server.port, "/export.csv");
    EXPECT_EQ(third.status, 503);
    EXPECT_EQ(third.header("Retry-After"), "1");
    EXPECT_EQ(third.body, "Two exports are being sent already; try again when one has ended.\n");
    EXPECT_EQ(ask(server.port, "/api/device/0x1").status, 200) << "the rest serves on";
    for (int fd : held)
        close(fd);
    Answer whole; // once the cancelled exports' readers ended
    eventually([&] { return (whole = ask(server.port, "/export.csv")).status == 200; });
    EXPECT_EQ(whole.status, 200);
    EXPECT_TRUE(whole.body == exported) << whole.body.size() << " bytes, not " << exported.size();
    EXPECT_EQ(server.stop(), 0);
}
