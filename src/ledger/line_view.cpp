#include "line_view.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <utility>

namespace ledger {
namespace {

constexpr int64_t MS_PER_SECOND = 1000;
const char RED[] = "\033[31m";
const char RESET[] = "\033[0m";
const char FAILED_MARK = '!';

enum Align { LEFT, RIGHT };
struct Column {
    const char* title;
    Align align;
    bool tests = false; // shown only when a station tested devices today (korvofw --after)
};
const Column COLUMNS[] = {
    {"STATION", LEFT},
    {"PORT", LEFT},
    {"PART", LEFT},
    {"NOW", LEFT},
    {"LAST DEVICE", LEFT},
    {"OK TODAY", RIGHT},
    {"FAILED TODAY", RIGHT},
    {"TESTED TODAY", RIGHT, true},
    {"TEST FAILED TODAY", RIGHT, true},
    {"POOL", LEFT},
    {"NEXT ID", LEFT},
    {"IDS LEFT", RIGHT},
};
constexpr size_t COLUMN_COUNT = sizeof COLUMNS / sizeof COLUMNS[0];

tm local_parts(int64_t ms) {
    time_t seconds = static_cast<time_t>(ms / MS_PER_SECOND);
    tm parts{};
    localtime_r(&seconds, &parts);
    return parts;
}

// Today's times as 14:02:58, another day's as 2024-05-01 14:02.
std::string when_text(int64_t ms, int64_t midnight_ms) {
    tm t = local_parts(ms);
    char text[64];
    if (ms >= midnight_ms && ms < midnight_ms + 24 * 3600 * MS_PER_SECOND)
        snprintf(text, sizeof text, "%02d:%02d:%02d", t.tm_hour, t.tm_min, t.tm_sec);
    else
        snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", t.tm_year + 1900, t.tm_mon + 1,
                 t.tm_mday, t.tm_hour, t.tm_min);
    return text;
}

// Text from the ledger as a terminal may show it (printable()); empty text '-'.
std::string shown(const std::string& text) {
    return text.empty() ? "-" : printable(text);
}

// Characters, not bytes, so that a name in UTF-8 lines up.
size_t width(const std::string& text) {
    size_t n = 0;
    for (unsigned char c : text)
        n += (c & 0xC0) != 0x80;
    return n;
}

std::string now_text(const StationNow& s) {
    if (!s.running)
        return "stopped";
    if (s.latest.state != "started")
        return "waiting";
    return s.latest.hard_id > 0 ? "programming " + hex4(s.latest.hard_id) : "programming";
}

std::string last_text(const AttemptRow& r, int64_t midnight_ms) {
    if (r.row_id == 0)
        return "none";
    return (r.test_failed() ? std::string("test failed") : r.state) + " " +
           (r.hard_id > 0 ? hex4(r.hard_id) : "-") + " " +
           when_text(r.finished() ? r.ended_ms : r.arrived_ms, midnight_ms);
}

std::vector<std::string> cells(const ViewLine& l, int64_t midnight_ms) {
    const StationNow& s = l.now;
    bool asked = s.latest.from_id > 0;
    return {shown(s.station),
            shown(s.latest.port),
            shown(s.latest.part),
            now_text(s),
            last_text(s.last_done, midnight_ms),
            std::to_string(s.ok),
            std::to_string(s.failed),
            std::to_string(s.tested),
            std::to_string(s.test_failed),
            shown(s.latest.pool),
            !asked                  ? "-"
            : l.next > HARD_ID_LAST ? "none"
                                    : hex4(l.next),
            asked ? std::to_string(l.left) : "-"};
}

std::string padded(const std::string& text, size_t to, Align align) {
    std::string pad(to > width(text) ? to - width(text) : 0, ' ');
    return align == LEFT ? text + pad : pad + text;
}

} // namespace

int64_t local_midnight_ms(int64_t now_ms) {
    tm t = local_parts(now_ms);
    t.tm_hour = t.tm_min = t.tm_sec = 0;
    t.tm_isdst = -1;
    return static_cast<int64_t>(mktime(&t)) * MS_PER_SECOND;
}

int read_view(Ledger& led, int64_t now_ms, std::vector<ViewLine>& out, std::string& error) {
    out.clear();
    std::vector<StationNow> stations;
    if (led.stations(local_midnight_ms(now_ms), stations, error) != 0)
        return -1;
    std::map<std::pair<std::string, int>, std::pair<int, int>> peeked; // one look per pool and from
    for (StationNow& s : stations) {
        ViewLine l;
        int from = s.latest.from_id;
        if (from > 0) {
            auto key = std::make_pair(s.latest.pool, from);
            auto found = peeked.find(key);
            if (found == peeked.end()) {
                std::pair<int, int> ids;
                if (led.peek_pool(s.latest.pool, from, ids.first, ids.second, error) != 0)
                    return -1;
                found = peeked.emplace(key, ids).first;
            }
            l.next = found->second.first;
            l.left = found->second.second;
        }
        l.now = std::move(s);
        out.push_back(std::move(l));
    }
    return 0;
}

std::string render_view(const std::vector<ViewLine>& lines, int64_t now_ms, bool colour) {
    int64_t midnight = local_midnight_ms(now_ms);
    std::vector<std::vector<std::string>> table(1);
    for (const Column& c : COLUMNS)
        table[0].push_back(c.title);
    for (const ViewLine& l : lines)
        table.push_back(cells(l, midnight));
    size_t widths[COLUMN_COUNT] = {};
    for (const auto& row : table)
        for (size_t i = 0; i < COLUMN_COUNT; ++i)
            widths[i] = std::max(widths[i], width(row[i]));

    bool tests = false;
    for (const ViewLine& l : lines)
        tests = tests || l.now.tested > 0;

    std::string out;
    for (size_t r = 0; r < table.size(); ++r) {
        const ViewLine* l = r == 0 ? nullptr : &lines[r - 1];
        const AttemptRow* last = l && l->now.last_done.row_id != 0 ? &l->now.last_done : nullptr;
        bool test_failed = last && last->state == "ok" && last->test_failed();
        bool failed = last && (last->state == "failed" || test_failed);
        std::string line(1, failed && !colour ? FAILED_MARK : ' ');
        for (size_t i = 0; i < COLUMN_COUNT; ++i)
            if (tests || !COLUMNS[i].tests)
                line += (i == 0 ? " " : "  ") + padded(table[r][i], widths[i], COLUMNS[i].align);
        if (failed)
            line +=
                "  " + (test_failed ? "test: " + shown(last->test_status) : shown(last->message));
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        out += (failed && colour ? RED + line + RESET : line) + "\n";
    }
    if (lines.empty())
        out += "  No station has written to this ledger yet\n";
    return out;
}

} // namespace ledger
