// The line page and the device page in a real browser: stations on the bench make a ledger
// (faults, a test after each device, a station killed in its pass, one still programming, one
// named with HTML), korvofw-ledger serves it, headless Chromium opens the pages, and what the
// page shows once its scripts ran must be what the ledger's own queries give.
#include "serve_fixture.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <ctime>
#include <map>
#include <regex>

namespace {

const char KILLED[] = "line-4";
const char RUNNING[] = "line-5";

// ---- A page as Chromium's DOM holds it after its scripts ran (--dump-dom): the few reads a
// test needs, by attribute; an element is its HTML from start tag to matching end tag.

std::string decoded(std::string text) {
    static const std::pair<const char*, const char*> ENTITIES[] = {
        {"&lt;", "<"},  {"&gt;", ">"},   {"&quot;", "\""},
        {"&#39;", "'"}, {"&nbsp;", " "}, {"&amp;", "&"}};
    for (const auto& [entity, plain] : ENTITIES)
        for (size_t at = 0; (at = text.find(entity, at)) != std::string::npos; ++at)
            text.replace(at, std::strlen(entity), plain);
    return text;
}

// Every element whose start tag holds `attribute` (such as data-field="ok_today"), in order.
std::vector<std::string> elements(const std::string& html, const std::string& attribute) {
    std::vector<std::string> out;
    for (size_t at = html.find(attribute); at != std::string::npos;
         at = html.find(attribute, at + 1)) {
        size_t start = html.rfind('<', at);
        std::string tag = html.substr(start + 1, html.find_first_of(" >", start) - start - 1);
        size_t end = html.find('>', at) + 1;
        for (int depth = 1; depth > 0 && end != std::string::npos;) {
            size_t open = html.find("<" + tag, end), close = html.find("</" + tag + ">", end);
            if (close == std::string::npos)
                end = std::string::npos;
            else if (open < close && std::strchr(" >", html[open + tag.size() + 1]))
                ++depth, end = open + 1;
            else
                --depth, end = close + tag.size() + 3;
        }
        if (tag == "input" || tag == "canvas" || end == std::string::npos)
            end = html.find('>', at) + 1; // no content to read
        out.push_back(html.substr(start, end - start));
    }
    return out;
}

// The element's text as the user reads it: tags dropped, entities decoded.
std::string text(const std::string& element) {
    std::string out;
    for (size_t at = 0; at < element.size();) {
        size_t tag = element.find('<', at);
        out += element.substr(at, tag - at);
        at = tag == std::string::npos ? tag : element.find('>', tag) + 1;
    }
    return decoded(out);
}

// The value of an attribute of the element's start tag; "<none>" when it has none.
std::string attr(const std::string& element, const std::string& name) {
    std::string start = element.substr(0, element.find('>'));
    size_t at = start.find(" " + name + "=\"");
    if (at == std::string::npos)
        return start.find(" " + name) != std::string::npos ? "" : "<none>";
    at += name.size() + 3;
    return decoded(start.substr(at, start.find('"', at) - at));
}

bool hidden(const std::string& element) {
    return attr(element, "hidden") != "<none>";
}

// The one element holding `attribute`; the test fails when there is not exactly one.
std::string one(const std::string& html, const std::string& attribute) {
    std::vector<std::string> found = elements(html, attribute);
    EXPECT_EQ(found.size(), 1u) << attribute;
    return found.empty() ? "" : found[0];
}

std::string field(const std::string& html, const std::string& key) {
    return text(one(html, "data-field=\"" + key + "\""));
}

// Headless Chromium's DOM of the page after its scripts ran, with `more` options.
ProcessResult chromium(const ScratchDir& scratch, const std::string& url,
                       std::vector<std::string> more = {}, std::vector<std::string> env = {}) {
    std::vector<std::string> args = {"/usr/bin/chromium", "--headless", "--no-sandbox",
                                     "--disable-gpu",
                                     "--user-data-dir=" + scratch.path("chromium")};
    args.insert(args.end(), more.begin(), more.end());
    args.insert(args.end(), {"--dump-dom", url});
    ProcessOptions po;
    po.env = env, po.timeout_ms = 60000;
    return run_process(args, po);
}

class Browser : public LedgerTest {
  protected:
    void SetUp() override {
        LedgerTest::SetUp();
        // Local noon now: "today" holds every row of the run, whenever it runs, and local time
        // is a whole number of hours from UTC (Etc/GMT-N is UTC+N, without summer time).
        const time_t now = time(nullptr);
        tm utc{};
        gmtime_r(&now, &utc);
        offset_h = 12 - utc.tm_hour;
        tz = "TZ=Etc/GMT" + std::string(offset_h > 0 ? "-" : "+") +
             std::to_string(std::abs(offset_h));
        if (HasFatalFailure())
            return;
        make_line();
        if (HasFatalFailure())
            return;
        const char* own = std::getenv("TZ"); // the server started now inherits the zone
        const std::string kept = own ? own : "";
        setenv("TZ", tz.substr(3).c_str(), 1);
        server = std::make_unique<Server>(location);
        own ? setenv("TZ", kept.c_str(), 1) : unsetenv("TZ");
        ASSERT_GT(server->port, 0);
        url = "http://127.0.0.1:" + std::to_string(server->port);
    }

    // The line: faults of two kinds, tests after line-2's devices (examples/test-hook.sh fails
    // every hard ID divisible by 3), a pool nearly used up, a station killed in its second run
    // (its row stays 'started'), one programming now. 57 rows: the last 50 are shown.
    void make_line() {
        const std::string hook = "sh " KORVOFW_SOURCE_DIR "/examples/test-hook.sh";
        for (const ProcessResult& r :
             {station_run("line-1", "default", "10", "    s    s    s    s    s    s"),
              station_run("line-2", "default", "10", "   b   b   b   b   b", {"--after", hook}),
              station_run(HTML_NAME, "other", "1FF0", " s "),
              station_run(KILLED, "default", "10", "  ")})
            ASSERT_TRUE(r.stopped) << r.err;
        ASSERT_EQ(station_run(KILLED, "default", "10", " ", {}, "request:5").signal, SIGKILL);
        running = station(RUNNING);
        in_flight = take(*running, 0x10);
        for (const ledger::AttemptRow& r : ledger_rows(location))
            rows[r.row_id] = r;
        ASSERT_EQ(rows.size(), 57u);
    }

    void TearDown() override {
        server.reset();
        running.reset();
        LedgerTest::TearDown();
    }

    // The page at `path` once its scripts ran for 5 s of Chromium's virtual time.
    std::string page(const std::string& path) {
        ProcessResult r =
            chromium(scratch, url + path,
                     {"--enable-logging=stderr", "--v=0", "--virtual-time-budget=5000"}, {tz});
        EXPECT_TRUE(r.status == 0 && has(r.out, "</html>"))
            << "chromium did not show " << path << " (status " << r.status << "): " << r.err;
        // The pages write nothing to the console: what is there is an error, such as a script
        // or style the server's Content-Security-Policy refused.
        EXPECT_FALSE(has(r.err, ":CONSOLE")) << path << ": " << r.err;
        return r.out;
    }

    // korvofw-sim as a station: blink from hard ID `from` of `pool`, devices 1..n on bus 1
    // with a fault where `faults` has one (a space: none); stopped once played.
    ProcessResult station_run(const std::string& name, const std::string& pool, const char* from,
                              const std::string& faults, std::vector<std::string> more = {},
                              const std::string& kill = "") {
        std::string scenario;
        for (size_t i = 0; i < faults.size(); ++i)
            scenario += "device 1 " + std::to_string(i + 1) +
                        (faults[i] == 's'   ? " fault=stuck"
                         : faults[i] == 'b' ? " fault=busy"
                                            : "") +
                        "\nwait\n";
        std::vector<std::string> args = {"-f",        "fw.hex", "-e",     "id.bin",   "-I",
                                         from,        "-r",     "0x8700", "--ledger", location,
                                         "--station", name,     "--pool", pool};
        args.insert(args.end(), more.begin(), more.end());
        return play("out" + std::to_string(++runs), scenario, args,
                    kill.empty() ? std::vector<std::string>{}
                                 : std::vector<std::string>{"KORVOFW_SIM_KILL=" + kill});
    }

    // Local time as the page shows it: 14:02:58 today, 2024-05-01 14:02 another day.
    std::string shown_when(int64_t ms) const {
        time_t local = static_cast<time_t>(ms / 1000) + offset_h * 3600;
        const time_t now = time(nullptr) + offset_h * 3600;
        tm t{}, today{};
        gmtime_r(&local, &t);
        gmtime_r(&now, &today);
        char out[32];
        strftime(out, sizeof out,
                 t.tm_yday == today.tm_yday && t.tm_year == today.tm_year ? "%H:%M:%S"
                                                                          : "%Y-%m-%d %H:%M",
                 &t);
        return out;
    }

    std::string printed_summary() {
        ProcessResult r = run_process({KORVOFW_LEDGER_BIN, location, "summary"});
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    }

    // Rows of an SQL query on the ledger, each split at '|'.
    std::vector<std::vector<std::string>> sql(const std::string& query) {
        std::vector<std::vector<std::string>> rows;
        for (const std::string& line : split(sql_output(location, query), '\n'))
            if (!line.empty())
                rows.push_back(split(line, '|'));
        return rows;
    }

    int runs = 0, offset_h = 0;
    std::unique_ptr<ledger::Ledger> running; // the station programming now
    ledger::Attempt in_flight;               // its row
    std::map<int64_t, ledger::AttemptRow> rows;
    std::unique_ptr<Server> server;
    std::string url; // the server's, without the closing /
    std::string tz;  // TZ=..., for the server and the browser
};

std::string percent(int64_t part, int64_t whole) {
    char out[32];
    std::snprintf(out, sizeof out, "%.1f %%", 100.0 * part / whole);
    return whole == 0 ? "–" : out;
}

} // namespace

TEST_P(Browser, TheLinePageShowsTheLedger) {
    const std::string line = page("/");
    EXPECT_EQ(attr(one(line, "<body"), "data-fresh"), "yes");
    EXPECT_TRUE(hidden(one(line, " id=\"stale\"")));
    const std::string updated = one(line, " id=\"updated\"");
    EXPECT_EQ(text(updated), shown_when(std::stoll(attr(updated, "data-now-ms"))));

    // Each station's card against the ledger's figures (today is the whole run) and its last
    // finished row; its pool's next hard ID against the summary's.
    std::map<std::string, std::vector<std::string>> want;
    for (auto& row : sql("SELECT station, pool, count(*) FILTER (WHERE state = 'ok'), count(*) "
                         "FILTER (WHERE state = 'failed'), count(test_status), count(*) FILTER "
                         "(WHERE test_status <> 'passed'), max(row_id) FILTER (WHERE state <> "
                         "'started') FROM attempts GROUP BY station, pool"))
        want[row[0]] = row;
    std::map<std::string, std::vector<std::string>> pools; // pool -> next, left
    static const std::regex POOL("Pool (.*): next hard ID (0x[0-9A-F]{4}), ([0-9]+) left .*");
    std::smatch m;
    for (const std::string& l : split(printed_summary(), '\n'))
        if (std::regex_match(l, m, POOL))
            pools[m[1]] = {m[2], m[3]};
    ASSERT_EQ(pools.size(), 2u);
    std::vector<std::string> cards = elements(line, "data-station=\"");
    ASSERT_EQ(cards.size(), 5u);
    ASSERT_EQ(want.size(), 5u);
    int64_t total_ok = 0, total_failed = 0;
    for (const std::string& card : cards) {
        const std::string name = attr(card, "data-station");
        ASSERT_EQ(want.count(name), 1u) << name;
        const std::vector<std::string>& w = want[name];
        const int64_t ok = std::stoll(w[2]), failed = std::stoll(w[3]);
        total_ok += ok, total_failed += failed;
        // A name is text: its element holds no element of its own.
        const std::string name_element = one(card, "data-field=\"station\"");
        EXPECT_EQ(std::count(name_element.begin(), name_element.end(), '<'), 2) << name_element;
        EXPECT_EQ(text(name_element), name);
        EXPECT_EQ(field(card, "ok_today") + " " + field(card, "failed_today") + " " +
                      field(card, "first_pass_yield"),
                  w[2] + " " + w[3] + " " + percent(ok, ok + failed))
            << name;
        EXPECT_EQ(hidden(one(card, "data-field=\"tests\"")), w[4] == "0") << name;
        EXPECT_EQ(field(card, "tested_today") + " " + field(card, "test_failed_today"),
                  w[4] + " " + w[5])
            << name;
        EXPECT_EQ(field(card, "next_id") + " " + field(card, "ids_left"),
                  pools[w[1]][0] + " " + pools[w[1]][1])
            << name;
        int64_t units = 0; // every device of the run ended within the chart's 12 hours
        for (const std::string& n : split(attr(one(card, "data-chart="), "data-values"), ','))
            units += std::stoll(n);
        EXPECT_EQ(units, ok) << name;
        const std::string state = name == RUNNING ? "programming" : "stopped";
        EXPECT_EQ(attr(card, "data-state"), state) << name;
        EXPECT_EQ(field(card, "state"),
                  name == RUNNING ? "programming " + ledger::hex4(in_flight.hard_id) : state);
        if (w.size() < 7) { // split() drops the empty last value: no row finished
            EXPECT_EQ(field(card, "last_result"), "no device yet") << name;
            continue;
        }
        const ledger::AttemptRow& last = rows[std::stoll(w[6])];
        const bool failing = last.state == "failed" || last.test_failed();
        EXPECT_EQ(field(card, "last_result") + " " + field(card, "last_hard_id") + " " +
                      field(card, "last_when"),
                  (last.test_failed() ? "test failed" : last.state) + " " +
                      ledger::hex4(last.hard_id) + " " + shown_when(last.ended_ms));
        EXPECT_EQ(field(card, "last_message"), !failing             ? ""
                                               : last.test_failed() ? "test: " + last.test_status
                                                                    : last.message);
        EXPECT_EQ(attr(card, "data-alert"), failing ? "failed" : "stopped") << name;
    }
    EXPECT_EQ(want["line-1"][3] + " " + want["line-2"][3] + " " + want["line-2"][5], "6 5 5")
        << "the run's faults, and the hook's";
    EXPECT_EQ(text(one(line, " id=\"total-ok\"")) + " " + text(one(line, " id=\"total-failed\"")) +
                  " " + text(one(line, " id=\"total-yield\"")),
              std::to_string(total_ok) + " " + std::to_string(total_failed) + " " +
                  percent(total_ok, total_ok + total_failed));
    for (const std::string& p : elements(line, "data-pool=\"")) {
        const std::vector<std::string>& w = pools[attr(p, "data-pool")];
        EXPECT_EQ(field(p, "next_id") + " " + field(p, "ids_left"), w[0] + " " + w[1]);
        EXPECT_EQ(elements(p, "data-field=\"warning\"").size(), std::stoi(w[1]) < 100 ? 1u : 0u);
    }

    // Today's failures, most first: the top one, and as many as the ledger's groups.
    const auto failures = sql("SELECT message, station, count(*) FROM attempts WHERE state = "
                              "'failed' GROUP BY message, station ORDER BY count(*) DESC");
    const std::vector<std::string> shown_failures = elements(line, "data-failure=\"");
    ASSERT_EQ(shown_failures.size(), failures.size());
    EXPECT_EQ(field(shown_failures[0], "message") + "|" + field(shown_failures[0], "station") +
                  "|" + field(shown_failures[0], "count"),
              failures[0][0] + "|" + failures[0][1] + "|" + failures[0][2]);
    EXPECT_EQ(field(shown_failures.back(), "cumulative"), "100.0 %");

    // The last 50 rows, newest first: the running station's row in flight.
    const std::vector<std::string> recent = elements(line, "data-row-id=\"");
    ASSERT_EQ(recent.size(), 50u);
    ASSERT_EQ(rows.size(), 57u);
    EXPECT_EQ(attr(recent[0], "data-row-id"), std::to_string(rows.rbegin()->first));
    EXPECT_EQ(field(recent[0], "time") + " " + field(recent[0], "station") + " " +
                  field(recent[0], "hard_id") + " " + field(recent[0], "result"),
              shown_when(in_flight.arrived_ms) + " " + RUNNING + " " +
                  ledger::hex4(in_flight.hard_id) + " programming");
    EXPECT_EQ(attr(one(recent[0], "<a "), "href"), "/device/" + ledger::hex4(in_flight.hard_id));
    EXPECT_EQ(field(recent[1], "station") + " " + field(recent[1], "result"),
              std::string(KILLED) + " unfinished");

    // The ledger can no longer be read: once the server says so (its next read failed), the
    // page keeps what it had and says since when.
    sql("ALTER TABLE attempts RENAME TO attempts_gone");
    ASSERT_TRUE(eventually([&] {
        return ask(server->port, "/api/line").header("X-Korvofw-Stale") == "1";
    })) << "the server did not find the ledger unreadable";
    const std::string old = page("/");
    const std::string read_at = text(one(old, " id=\"updated\""));
    EXPECT_EQ(attr(one(old, "<body"), "data-fresh"), "no");
    EXPECT_EQ(text(one(old, " id=\"stale\"")),
              "Ledger not reachable since " + read_at + ": the server shows what it read then");
    EXPECT_EQ(elements(old, "data-station=\"").size(), 5u);
}

TEST_P(Browser, TheDevicePagesShowEachAttempt) {
    // A hard ID line-1 failed and then programmed, by its decimal number: each attempt, oldest
    // first, with its records decoded and their bytes.
    const int failed_id = std::stoi(sql(
        "SELECT min(hard_id) FROM attempts WHERE station = 'line-1' AND state = 'failed'")[0][0]);
    const std::string device = page("/device/" + std::to_string(failed_id));
    EXPECT_EQ(text(one(device, " id=\"hard-id\"")), ledger::hex4(failed_id));
    std::vector<const ledger::AttemptRow*> of_id;
    for (const auto& [id, r] : rows)
        if (r.hard_id == failed_id)
            of_id.push_back(&r);
    const std::vector<std::string> attempts = elements(device, "data-row-id=\"");
    ASSERT_EQ(attempts.size(), of_id.size());
    ASSERT_GE(attempts.size(), 2u);
    auto bytes = [](const std::string& cell) {
        std::string hex;
        for (char c : text(cell))
            if (!std::isspace(static_cast<unsigned char>(c)))
                hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return hex;
    };
    int with_records = 0;
    for (size_t k = 0; k < attempts.size(); ++k) {
        const ledger::AttemptRow& r = *of_id[k];
        const std::string& a = attempts[k];
        EXPECT_EQ(attr(a, "data-row-id") + " " + attr(a, "data-state") + " " + field(a, "station") +
                      " " + field(a, "image_sha256") + " " +
                      text(one(a, "<td data-field=\"hard_id\"")),
                  std::to_string(r.row_id) + " " + r.state + " " + r.station + " " +
                      r.image_sha256 + " " + ledger::hex4(r.hard_id) + " (" + r.id_state + ")");
        if (r.record_read.empty() && r.record_written.empty()) {
            EXPECT_EQ(field(a, "records"), "None read or written: the pass ended before.");
            continue;
        }
        ++with_records;
        const std::string written = "data-record=\"written\" data-field=\"";
        EXPECT_EQ(text(one(a, written + "hard_id\"")) + " " + text(one(a, written + "rxaddr\"")),
                  r.state == "ok" ? ledger::hex4(r.hard_id) + " " + ledger::hex4(r.rxaddr) : "– –");
        EXPECT_EQ(bytes(one(a, written + "hex\"")),
                  r.record_written.empty() ? "–" : to_hex(r.record_written));
        EXPECT_EQ(bytes(one(a, "data-record=\"read\" data-field=\"hex\"")),
                  r.record_read.empty() ? "–" : to_hex(r.record_read));
    }

    EXPECT_GE(with_records, 1);

    // A device line-2 tested: the test's status and each of its results.
    const ledger::AttemptRow* tested = nullptr;
    for (const auto& [id, r] : rows)
        if (!tested && r.station == "line-2" && r.test_failed())
            tested = &r;
    ASSERT_NE(tested, nullptr);
    const std::string tested_page = page("/device/" + ledger::hex4(tested->hard_id));
    const std::string a =
        one(tested_page, "data-row-id=\"" + std::to_string(tested->row_id) + "\"");
    EXPECT_EQ(field(a, "test_status"), tested->test_status);
    const auto results = nlohmann::ordered_json::parse(tested->test_results);
    ASSERT_EQ(elements(a, "data-key=\"").size(), results.size());
    for (const auto& [key, value] : results.items())
        EXPECT_EQ(text(one(one(a, "data-key=\"" + key + "\""), "<td")), value.get<std::string>());

    const std::string unknown = page("/device/0x1234");
    EXPECT_FALSE(hidden(one(unknown, " id=\"no-attempts\"")));
    EXPECT_EQ(text(one(unknown, " id=\"no-attempts\"")), "No attempt involved hard ID 0x1234");
    EXPECT_TRUE(elements(unknown, "data-row-id=\"").empty());
}

LEDGER_ON_BOTH_BACK_ENDS(Browser);

// The search box's reading of what a person types: the device page it leads to, or none (a
// refusal), as the pages' own script gives it in Chromium.
TEST(SearchBox, TakesHexOrDecimalHardIds) {
    const std::pair<const char*, const char*> CASES[] = {{"0x1A2", "0x01A2"}, {"0X1a2", "0x01A2"},
                                                         {"1a2", "0x01A2"},   {" 418 ", "0x01A2"},
                                                         {"8191", "0x1FFF"},  {"0x1fff", "0x1FFF"},
                                                         {"1", "0x0001"},     {"0", ""},
                                                         {"0x2000", ""},      {"8192", ""},
                                                         {"12g", ""},         {"-5", ""},
                                                         {"0x", ""},          {"", ""},
                                                         {"1e3", "0x01E3"},   {"0x1A2!", ""}};
    ScratchDir dir;
    std::string checks;
    for (const auto& [typed, id] : CASES)
        checks += "show(" + nlohmann::json(typed).dump() + ");";
    write_text(dir.path("search.html"),
               "<!doctype html><script src=\"file://" KORVOFW_SOURCE_DIR
               "/src/web/page/common.js\"></script><body><script>function show(t) {"
               "const n = parseHardId(t); document.body.append(el('p', {'data-typed': t}, "
               "n === null ? 'refused' : '/device/' + hex4(n))); }" +
                   checks + "</script>");
    ProcessResult r = chromium(dir, "file://" + dir.path("search.html"));
    const std::vector<std::string> shown = elements(r.out, "data-typed=");
    ASSERT_EQ(shown.size(), std::size(CASES)) << r.err;
    for (size_t k = 0; k < shown.size(); ++k)
        EXPECT_EQ(attr(shown[k], "data-typed") + " -> " + text(shown[k]),
                  std::string(CASES[k].first) + " -> " +
                      (*CASES[k].second ? std::string("/device/") + CASES[k].second : "refused"));
}
