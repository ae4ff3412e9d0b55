// A real Prometheus (Debian's) scraping serve's /metrics: its counters equal the ledger's counts
// per pool, station and result, names with quotes and markup included, and rise by one when a
// station programs one more device. promtool takes the served text.
#include "serve_fixture.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>

#include <map>

using json = nlohmann::json;
using Counts = std::map<std::string, int64_t>; // "pool|station|result" -> devices

namespace {

// Each station of a pool has a series for every result, 0 until a device ends so.
Counts ledger_counts(const std::vector<ledger::AttemptRow>& rows) {
    Counts counts;
    for (const ledger::AttemptRow& r : rows) {
        for (const char* result : {"ok", "failed", "interrupted"})
            counts[r.pool + "|" + r.station + "|" + result] += r.state == result;
    }
    return counts;
}

// Prometheus' latest korvofw_devices_total samples; empty before its first scrape.
Counts scraped(int port) {
    Answer a = ask(port, "/api/v1/query?query=korvofw_devices_total", "GET", true);
    Counts counts;
    json got = json::parse(a.body, nullptr, false);
    if (a.status != 200 || got.is_discarded())
        return counts;
    for (const json& sample : got["data"]["result"]) {
        const json& m = sample["metric"];
        counts[m["pool"].get<std::string>() + "|" + m["station"].get<std::string>() + "|" +
               m["result"].get<std::string>()] = std::stoll(sample["value"][1].get<std::string>());
    }
    return counts;
}

// Debian's prometheus on a scratch port and store, scraping the server every second.
class Prometheus {
  public:
    Prometheus(const ScratchDir& scratch, int target) : port(free_port()) {
        write_text(scratch.path("prometheus.yml"),
                   "global: {scrape_interval: 1s, evaluation_interval: 1s}\n"
                   "scrape_configs:\n  - job_name: korvofw\n    static_configs:\n"
                   "      - targets: ['127.0.0.1:" +
                       std::to_string(target) + "']\n");
        const int log = open(scratch.path("prometheus.log").c_str(),
                             O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        pid_ = spawn({"/usr/bin/prometheus", "--config.file=" + scratch.path("prometheus.yml"),
                      "--storage.tsdb.path=" + scratch.path("tsdb"),
                      "--web.listen-address=127.0.0.1:" + std::to_string(port)},
                     log, true);
        close(log);
    }
    ~Prometheus() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    // Queries until `wanted` holds for the counts, at most 60 s (a scrape a second); the last.
    template <typename Wanted> Counts until(Wanted wanted) const {
        Counts counts;
        eventually([&] { return wanted(counts = scraped(port)); }, 600, 100);
        return counts;
    }
    const int port;

  private:
    pid_t pid_ = -1;
};

} // namespace

using RealPrometheus = Serve;

TEST_P(RealPrometheus, ScrapesTheLedgersCountsAndSeesThemRise) {
    make_line();
    Server server(location);
    const Answer metrics = ask(server.port, "/metrics");
    EXPECT_EQ(metrics.status, 200);
    EXPECT_EQ(promtool_errors(metrics.body, scratch), "");

    Prometheus prometheus(scratch, server.port);
    Counts want = ledger_counts(rows());
    ASSERT_EQ(want.size(), 6u) << "two stations";
    Counts got = prometheus.until([](const Counts& c) { return !c.empty(); });
    ASSERT_FALSE(got.empty()) << to_text(read_bytes(scratch.path("prometheus.log")));
    EXPECT_EQ(got, want);

    ProcessResult more = play("c", "device 1 9\n", station(HTML_NAME, "a.bin", "10"));
    ASSERT_EQ(more.status, 0) << more.err;
    const std::string key = "default|" + HTML_NAME + "|ok";
    ++want[key];
    EXPECT_EQ(ledger_counts(rows()), want);
    got = prometheus.until([&](const Counts& c) { return c.count(key) && c.at(key) == want[key]; });
    EXPECT_EQ(got, want);
    EXPECT_EQ(server.stop(), 0);
}

LEDGER_ON_BOTH_BACK_ENDS(RealPrometheus);
