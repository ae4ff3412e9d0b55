#include "line_data.h"

#include "line_view.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iterator>
#include <tuple>

namespace web {

using Json = nlohmann::ordered_json;

// What one read gathers beside the counts: the line page's facts, and each pool's hard IDs.
struct LineFacts {
    struct PoolIds {
        std::string pool;
        int from = 0, next = 0, left = 0;
    };
    struct Failures {
        std::string station, message;
        int64_t rows = 0;
    };
    int64_t now_ms = 0, day_start_ms = 0;
    std::vector<int64_t> hour_starts; // oldest first, the last the current hour's
    std::vector<ledger::ViewLine> view;
    std::vector<Failures> failures;
    std::map<std::string, std::vector<int64_t>> hourly; // by station, one count per hour
    std::vector<ledger::AttemptRow> recent;
    std::vector<PoolIds> pools;
};

namespace {

constexpr int64_t MS_PER_SECOND = 1000;
constexpr int64_t HOUR_MS = 3600 * MS_PER_SECOND;
constexpr int HOURS_SHOWN = 12;
constexpr int RECENT_ROWS = 50;
constexpr int IDS_LOW = 100; // a pool with fewer IDs left is shown as running low
// A row_id is taken when its row is written, and the row is seen when its transaction commits:
// on PostgreSQL a later row_id may be seen first. The latest row_ids are read again at every
// refresh, so a row committed after one this many row_ids later is still counted.
constexpr int64_t RECOUNT_WINDOW = 256;

// The pass histogram's bounds: what a pass takes, from a quick one to a stuck one.
struct Bound {
    int64_t ms;
    const char* le;
};
constexpr Bound PASS_BOUNDS[] = {{500, "0.5"},  {1000, "1"},   {2000, "2"},   {5000, "5"},
                                 {10000, "10"}, {30000, "30"}, {60000, "60"}, {120000, "120"}};
constexpr size_t PASS_BOUND_COUNT = sizeof PASS_BOUNDS / sizeof PASS_BOUNDS[0];
// The results devices_total gives for each pool and station, zero or not, so that a rate over
// one of them is there from the first device on.
const char* const RESULTS[] = {"ok", "failed", "interrupted"};

struct MetricInfo {
    const char* name;
    const char* type;
    const char* help;
};
const MetricInfo METRICS[] = {
    {"korvofw_devices_total", "counter",
     "Devices whose attempt is over, by pool, station and result (ok, failed, interrupted)."},
    {"korvofw_pass_duration_seconds", "histogram",
     "Time from a device's arrival to the end of its pass, of passes that ended ok or failed."},
    {"korvofw_hard_ids_left", "gauge",
     "Hard IDs left in the pool, from the lowest ID its latest station asked for."},
    {"korvofw_station_up", "gauge", "1 while a station of this name runs, else 0."},
    {"korvofw_last_device_timestamp_seconds", "gauge",
     "When the station's latest device ended ok or failed, in seconds since the epoch."},
};
enum Metric { DEVICES, PASS_DURATION, IDS_LEFT, STATION_UP, LAST_DEVICE };

std::vector<int64_t> pass_bounds_ms() {
    std::vector<int64_t> out;
    for (const Bound& b : PASS_BOUNDS)
        out.push_back(b.ms);
    return out;
}

// Drops the hours before `first`, and what has no hour left (a message seen days ago).
template <typename Key>
void forget_hours(std::map<Key, std::map<int64_t, int64_t>>& by_hour, int64_t first) {
    for (auto i = by_hour.begin(); i != by_hour.end();) {
        i->second.erase(i->second.begin(), i->second.lower_bound(first));
        i = i->second.empty() ? by_hour.erase(i) : std::next(i);
    }
}

// The start of the local hour of `ms`.
int64_t local_hour_start(int64_t ms) {
    time_t seconds = static_cast<time_t>(ms / MS_PER_SECOND);
    tm parts{};
    localtime_r(&seconds, &parts);
    return ms - (parts.tm_min * 60 + parts.tm_sec) * MS_PER_SECOND - ms % MS_PER_SECOND;
}

Json hard_id(int id) {
    return id > 0 ? Json(ledger::hex4(id)) : Json();
}
Json text_or_null(const std::string& text) {
    return text.empty() ? Json() : Json(text);
}

// The next ID of a pool as the page shows it: none when the pool is used up.
Json next_id(int next) {
    return next > ledger::HARD_ID_LAST ? Json("none") : Json(ledger::hex4(next));
}

const char* now_state(const ledger::StationNow& s) {
    if (!s.running)
        return "stopped";
    return s.latest.state == "started" ? "programming" : "waiting";
}

// The station's latest row that is not 'started'; an interrupted one, which never ended, is
// given by its arrival, as korvofw-ledger watch shows it.
Json last_device(const ledger::AttemptRow& r) {
    if (r.row_id == 0)
        return Json();
    Json last;
    last["result"] = r.state;
    last["hard_id"] = hard_id(r.hard_id);
    last["ended_ms"] = r.finished() ? r.ended_ms : r.arrived_ms;
    last["message"] = r.message;
    last["test_status"] = text_or_null(r.test_status);
    return last;
}

Json station_card(const ledger::ViewLine& l) {
    const ledger::StationNow& s = l.now;
    bool programming = s.running && s.latest.state == "started";
    bool asked = s.latest.from_id > 0;
    Json card;
    card["station"] = s.station;
    card["state"] = now_state(s);
    card["hard_id_in_flight"] = programming ? hard_id(s.latest.hard_id) : Json();
    card["port"] = text_or_null(s.latest.port);
    card["part"] = text_or_null(s.latest.part);
    card["pool"] = text_or_null(s.latest.pool);
    card["last"] = last_device(s.last_done);
    card["ok_today"] = s.ok;
    card["failed_today"] = s.failed;
    card["tested_today"] = s.tested;
    card["test_failed_today"] = s.test_failed;
    card["first_pass_yield"] =
        s.ok + s.failed > 0 ? Json(static_cast<double>(s.ok) / static_cast<double>(s.ok + s.failed))
                            : Json();
    card["next_id"] = asked ? next_id(l.next) : Json();
    card["ids_left"] = asked ? Json(l.left) : Json();
    return card;
}

Json hourly(const LineFacts& f) {
    Json out;
    out["hour_start_ms"] = f.hour_starts;
    out["stations"] = Json::object();
    for (const auto& [station, counts] : f.hourly)
        out["stations"][station] = counts;
    return out;
}

// Most first (a Pareto), ties by message and station.
Json failures(std::vector<LineFacts::Failures> counts) {
    std::sort(counts.begin(), counts.end(), [](const auto& a, const auto& b) {
        return std::tie(b.rows, a.message, a.station) < std::tie(a.rows, b.message, b.station);
    });
    Json out = Json::array();
    for (const LineFacts::Failures& c : counts)
        out.push_back({{"message", c.message}, {"station", c.station}, {"count", c.rows}});
    return out;
}

Json recent_row(const ledger::AttemptRow& r) {
    Json row;
    row["row_id"] = r.row_id;
    row["station"] = r.station;
    row["pool"] = r.pool;
    row["part"] = r.part;
    row["state"] = r.state;
    row["hard_id"] = hard_id(r.hard_id);
    row["arrived_ms"] = r.arrived_ms;
    row["ended_ms"] = r.finished() ? Json(r.ended_ms) : Json();
    row["message"] = r.message;
    row["test_status"] = text_or_null(r.test_status);
    return row;
}

std::string line_json(const LineFacts& f) {
    Json line;
    line["v"] = 1;
    line["now_ms"] = f.now_ms;
    line["day_start_ms"] = f.day_start_ms;
    line["stations"] = Json::array();
    for (const ledger::ViewLine& l : f.view)
        line["stations"].push_back(station_card(l));
    line["pools"] = Json::array();
    for (const LineFacts::PoolIds& p : f.pools)
        line["pools"].push_back({{"pool", p.pool},
                                 {"from", ledger::hex4(p.from)},
                                 {"next_id", next_id(p.next)},
                                 {"ids_left", p.left},
                                 {"low", p.left < IDS_LOW}});
    line["hourly"] = hourly(f);
    line["failures"] = failures(f.failures);
    line["recent"] = Json::array();
    for (const ledger::AttemptRow& r : f.recent)
        line["recent"].push_back(recent_row(r));
    // Text that is not UTF-8 (a station named so) is replaced, not refused.
    return line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// A label value as the text format wants it: UTF-8 (what is not becomes U+FFFD), with \, "
// and newline escaped.
std::string label_value(const std::string& text) {
    std::string utf8 = Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
    std::string plain = Json::parse(utf8, nullptr, false).get<std::string>();
    std::string out;
    for (char c : plain) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return out;
}

std::string labels(std::initializer_list<std::pair<const char*, std::string>> pairs) {
    std::string out;
    for (const auto& p : pairs)
        out +=
            std::string(out.empty() ? "{" : ",") + p.first + "=\"" + label_value(p.second) + "\"";
    return out + "}";
}

// Milliseconds as seconds, exactly: 1234 is 1.234.
std::string seconds(int64_t ms) {
    char text[32];
    snprintf(text, sizeof text, "%s%lld.%03lld", ms < 0 ? "-" : "",
             static_cast<long long>(std::abs(ms / MS_PER_SECOND)),
             static_cast<long long>(std::abs(ms % MS_PER_SECOND)));
    return text;
}

std::string header(Metric m) {
    const MetricInfo& i = METRICS[m];
    return std::string("# HELP ") + i.name + " " + i.help + "\n# TYPE " + i.name + " " + i.type +
           "\n";
}

std::string sample(Metric m, const char* suffix, const std::string& labels,
                   const std::string& value) {
    return std::string(METRICS[m].name) + suffix + labels + " " + value + "\n";
}

} // namespace

int LineReader::read(int64_t now_ms, LineTexts& out, std::string& error) {
    LineFacts facts;
    int64_t since = std::min(ledger::local_midnight_ms(now_ms),
                             local_hour_start(now_ms) - (HOURS_SHOWN - 1) * HOUR_MS);
    if (count_rows(since, error) != 0 || read_facts(now_ms, facts, error) != 0)
        return -1;
    forget_before(since);
    out.line_json = line_json(facts);
    out.metrics_text = metrics_text(facts);
    out.read_ms = now_ms;
    return 0;
}

int LineReader::count_rows(int64_t since_ms, std::string& error) {
    if (!counted_) {
        std::vector<ledger::StateTally> tallies;
        if (led_.tally(pass_bounds_ms(), RECOUNT_WINDOW, since_ms, HOUR_MS, tallies, error) != 0)
            return -1;
        hours_from_ms_ = since_ms;
        for (const ledger::StateTally& t : tallies)
            last_row_id_ = std::max(last_row_id_, t.last_row_id);
        for (const ledger::StateTally& t : tallies)
            take(t);
        counted_ = true;
        return 0;
    }
    if (!started_.empty()) {
        std::vector<int64_t> ids(started_.begin(), started_.end());
        std::set<int64_t> found;
        auto ended = [&](const ledger::AttemptRow& row) {
            found.insert(row.row_id);
            if (row.state != "started" && started_.erase(row.row_id) != 0)
                count(row);
        };
        if (led_.rows_with_ids(ids, ended, error) != 0)
            return -1;
        for (int64_t id : ids)
            if (found.count(id) == 0)
                started_.erase(id); // gone from the ledger: nothing to count
    }
    auto seen = [&](const ledger::AttemptRow& row) {
        if (recent_.insert(row.row_id).second)
            see(row);
    };
    if (led_.rows_after(std::max<int64_t>(0, last_row_id_ - RECOUNT_WINDOW), seen, error) != 0)
        return -1;
    recent_.erase(recent_.begin(), recent_.upper_bound(last_row_id_ - RECOUNT_WINDOW));
    return 0;
}

// One tally of the first read: a group below the latest row_ids, or a row alone.
void LineReader::take(const ledger::StateTally& t) {
    auto& asked = asked_[t.pool];
    if (t.asked_row_id > asked.first)
        asked = {t.asked_row_id, t.asked_from};
    auto& results = results_[{t.pool, t.station}];
    Passes& passes = passes_[t.station];
    passes.within.resize(PASS_BOUND_COUNT);
    if (t.last_row_id > last_row_id_ - RECOUNT_WINDOW)
        recent_.insert(t.last_row_id);
    if (t.state == "started") {
        started_.insert(t.last_row_id);
        return;
    }
    results[t.state] += t.rows;
    if (t.state != "ok" && t.state != "failed")
        return;
    if (t.period >= 0 && t.state == "ok")
        ok_by_hour_[t.station][t.period] += t.rows;
    else if (t.period >= 0)
        failed_by_hour_[{t.station, t.message}][t.period] += t.rows;
    passes.count += t.rows;
    passes.sum_ms += t.duration_ms;
    passes.last_ended_ms = std::max(passes.last_ended_ms, t.last_ended_ms);
    for (size_t i = 0; i < PASS_BOUND_COUNT && i < t.within.size(); ++i)
        passes.within[i] += t.within[i];
}

// A row seen for the first time.
void LineReader::see(const ledger::AttemptRow& row) {
    last_row_id_ = std::max(last_row_id_, row.row_id);
    auto& asked = asked_[row.pool];
    if (row.from_id > 0 && row.row_id > asked.first)
        asked = {row.row_id, row.from_id};
    results_[{row.pool, row.station}];
    passes_[row.station].within.resize(PASS_BOUND_COUNT);
    if (row.state == "started")
        started_.insert(row.row_id);
    else
        count(row);
}

// A row that is no longer 'started', counted once.
void LineReader::count(const ledger::AttemptRow& row) {
    results_[{row.pool, row.station}][row.state] += 1;
    if (!row.finished())
        return;
    Passes& passes = passes_[row.station];
    int64_t took = row.ended_ms - row.arrived_ms;
    passes.count += 1;
    passes.sum_ms += took;
    passes.last_ended_ms = std::max(passes.last_ended_ms, row.ended_ms);
    for (size_t i = 0; i < PASS_BOUND_COUNT; ++i)
        passes.within[i] += took <= PASS_BOUNDS[i].ms ? 1 : 0;
    if (row.ended_ms < hours_from_ms_)
        return;
    int64_t hour = hour_of(row.ended_ms);
    if (row.state == "ok")
        ok_by_hour_[row.station][hour] += 1;
    else
        failed_by_hour_[{row.station, row.message}][hour] += 1;
}

// The hour from hours_from_ms_ that `ms` falls in; before it, negative.
int64_t LineReader::hour_of(int64_t ms) const {
    int64_t from = ms - hours_from_ms_;
    return from >= 0 ? from / HOUR_MS : -1 - (-from - 1) / HOUR_MS;
}

// The hours before since_ms are needed no more: neither today's nor among those shown.
void LineReader::forget_before(int64_t since_ms) {
    forget_hours(ok_by_hour_, hour_of(since_ms));
    forget_hours(failed_by_hour_, hour_of(since_ms));
}

int LineReader::read_facts(int64_t now_ms, LineFacts& f, std::string& error) {
    f.now_ms = now_ms;
    f.day_start_ms = ledger::local_midnight_ms(now_ms);
    int64_t current = local_hour_start(now_ms);
    for (int i = HOURS_SHOWN - 1; i >= 0; --i)
        f.hour_starts.push_back(current - i * HOUR_MS);
    if (ledger::read_view(led_, now_ms, f.view, error) != 0)
        return -1;
    auto keep = [&f](const ledger::AttemptRow& r) { f.recent.push_back(r); };
    if (led_.latest_rows(RECENT_ROWS, keep, error) != 0)
        return -1;
    int64_t today = hour_of(f.day_start_ms);
    for (const auto& [key, hours] : failed_by_hour_) {
        LineFacts::Failures c{key.first, key.second};
        for (auto h = hours.lower_bound(today); h != hours.end(); ++h)
            c.rows += h->second;
        if (c.rows > 0)
            f.failures.push_back(c);
    }
    for (const ledger::ViewLine& l : f.view) {
        std::vector<int64_t>& counts = f.hourly[l.now.station];
        auto ok = ok_by_hour_.find(l.now.station);
        for (int64_t start : f.hour_starts) {
            int64_t hour = hour_of(start);
            counts.push_back(
                ok == ok_by_hour_.end() || ok->second.count(hour) == 0 ? 0 : ok->second.at(hour));
        }
    }
    for (const auto& [pool, asked] : asked_) {
        if (asked.second <= 0)
            continue;
        LineFacts::PoolIds p{pool, asked.second};
        // A station of the pool whose latest row asked from the same ID was peeked by
        // read_view() a moment ago: a peek walks the pool's used IDs, so it is not done twice.
        auto same = std::find_if(f.view.begin(), f.view.end(), [&](const ledger::ViewLine& l) {
            return l.now.latest.pool == pool && l.now.latest.from_id == p.from;
        });
        if (same != f.view.end())
            p.next = same->next, p.left = same->left;
        else if (led_.peek_pool(pool, p.from, p.next, p.left, error) != 0)
            return -1;
        f.pools.push_back(p);
    }
    return 0;
}

std::string LineReader::metrics_text(const LineFacts& f) const {
    std::map<std::string, bool> up; // every station the ledger knows, and whether it runs
    for (const auto& [station, passes] : passes_)
        up[station] = false;
    for (const ledger::ViewLine& l : f.view)
        up[l.now.station] = l.now.running;

    std::string out = header(DEVICES);
    for (const auto& [key, results] : results_)
        for (const char* result : RESULTS) {
            auto n = results.find(result);
            out +=
                sample(DEVICES, "",
                       labels({{"pool", key.first}, {"station", key.second}, {"result", result}}),
                       std::to_string(n == results.end() ? 0 : n->second));
        }
    out += header(PASS_DURATION);
    for (const auto& [station, running] : up) {
        auto found = passes_.find(station);
        Passes passes = found == passes_.end() ? Passes{} : found->second;
        passes.within.resize(PASS_BOUND_COUNT);
        for (size_t i = 0; i < PASS_BOUND_COUNT; ++i)
            out += sample(PASS_DURATION, "_bucket",
                          labels({{"station", station}, {"le", PASS_BOUNDS[i].le}}),
                          std::to_string(passes.within[i]));
        out += sample(PASS_DURATION, "_bucket", labels({{"station", station}, {"le", "+Inf"}}),
                      std::to_string(passes.count));
        out +=
            sample(PASS_DURATION, "_sum", labels({{"station", station}}), seconds(passes.sum_ms));
        out += sample(PASS_DURATION, "_count", labels({{"station", station}}),
                      std::to_string(passes.count));
    }
    out += header(IDS_LEFT);
    for (const LineFacts::PoolIds& p : f.pools)
        out += sample(IDS_LEFT, "", labels({{"pool", p.pool}}), std::to_string(p.left));
    out += header(STATION_UP);
    for (const auto& [station, running] : up)
        out += sample(STATION_UP, "", labels({{"station", station}}), running ? "1" : "0");
    out += header(LAST_DEVICE);
    for (const auto& [station, passes] : passes_)
        if (passes.count > 0)
            out += sample(LAST_DEVICE, "", labels({{"station", station}}),
                          seconds(passes.last_ended_ms));
    return out;
}

} // namespace web
