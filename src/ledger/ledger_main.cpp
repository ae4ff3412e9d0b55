// korvofw-ledger: creates a ledger (init); what a ledger holds, for the operator (summary, one
// hard ID, the line's view) and for other programs (CSV export). The reports only read: they
// take no station name and mark nothing.
#include "ledger.h"
#include "line_view.h"
#include "serve.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>

namespace {

constexpr int EXIT_OPEN_FAILED = 1;
constexpr int EXIT_USAGE = 2;

void usage() {
    std::cerr << "Usage: korvofw-ledger LEDGER init\n"
                 "       korvofw-ledger LEDGER summary\n"
                 "       korvofw-ledger LEDGER export\n"
                 "       korvofw-ledger LEDGER device HARD_ID\n"
                 "       korvofw-ledger LEDGER watch\n"
                 "       korvofw-ledger LEDGER serve [--listen ADDR:PORT]\n"
                 "LEDGER is an SQLite file or a postgresql:// URI, as given to korvofw --ledger.\n"
                 "init:    creates the ledger (the SQLite file, or the tables in an existing\n"
                 "         PostgreSQL database); upgrades one of an earlier release, and\n"
                 "         changes nothing on a current one.\n"
                 "summary: devices per pool, station and part, the next hard IDs, the\n"
                 "         uncertain IDs.\n"
                 "export:  every attempt row as CSV.\n"
                 "device:  every attempt that involved HARD_ID (hex, such as 0x123).\n"
                 "watch:   one line per station, redrawn every second until Ctrl-C; printed\n"
                 "         once when standard output is not a terminal.\n"
                 "serve:   the line page, device pages, CSV export and Prometheus metrics over\n"
                 "         HTTP at ADDR:PORT (default 127.0.0.1:8080) until Ctrl-C; read-only."
              << std::endl;
}

// A hard ID in hex, with or without 0x, as the station's -I takes it.
bool parse_hard_id(const char* text, int& value) {
    errno = 0;
    char* end = nullptr;
    long parsed = std::strtol(text, &end, 16);
    if (end == text || *end != '\0' || errno != 0 || parsed < ledger::HARD_ID_FIRST ||
        parsed > ledger::HARD_ID_LAST)
        return false;
    value = static_cast<int>(parsed);
    return true;
}

std::string next_text(ledger::Ledger& led, const std::string& pool, int from, std::string& error) {
    int next = 0, left = 0;
    if (led.peek_pool(pool, from, next, left, error) != 0)
        return std::string();
    std::string text = next > ledger::HARD_ID_LAST ? "no hard ID left"
                                                   : "next hard ID " + ledger::hex4(next) + ", " +
                                                         std::to_string(left) + " left";
    return text + " (from " + ledger::hex4(from) + ")";
}

std::string id_text(int value) {
    return value < 0 ? std::string("-") : ledger::hex4(value);
}

std::string erase_text(int64_t ms) {
    return ms < 0 ? std::string("no erase") : "erase " + std::to_string(ms) + " ms";
}

void print_row(const ledger::AttemptRow& r) {
    using ledger::printable;
    std::cout << "Row " << r.row_id << ": pool " << printable(r.pool) << ", station "
              << printable(r.station) << ", " << r.state << ", hard ID " << id_text(r.hard_id)
              << (r.id_state.empty() ? "" : " " + r.id_state) << "\n"
              << "  arrived " << ledger::utc_text(r.arrived_ms) << ", bus " << r.bus << " device "
              << r.devnum << ", port " << printable(r.port) << "\n"
              << "  part " << printable(r.part) << ", flash " << printable(r.flash_path) << ", "
              << r.image_length << " bytes, sha256 " << r.image_sha256 << "\n"
              << "  soft ID " << id_text(r.soft_id) << ", RXaddr " << id_text(r.rxaddr) << "\n";
    if (!r.finished()) {
        std::cout << "  no outcome\n";
        return;
    }
    std::cout << "  ended " << ledger::utc_text(r.ended_ms) << ", result " << r.result << ": "
              << printable(r.message) << "\n"
              << "  " << erase_text(r.erase_ms) << ", flash " << r.flash_ms << " ms, EEPROM "
              << r.eeprom_ms << " ms\n"
              << "  record read    " << ledger::hex_bytes(r.record_read) << "\n"
              << "  record written " << ledger::hex_bytes(r.record_written) << "\n";
    if (r.tested())
        std::cout << "  test " << printable(r.test_status) << ", " << r.test_ms << " ms, results "
                  << printable(r.test_results) << "\n";
}

// One line per pool (its next ID counted from the lowest `from` its stations used), one per
// station and part in it, then the uncertain IDs with their rows.
int summary(ledger::Ledger& led, std::string& error) {
    std::vector<ledger::StationCounts> counts;
    if (led.counts(counts, error) != 0)
        return -1;
    for (size_t i = 0; i < counts.size(); ++i) {
        const std::string& pool = counts[i].pool;
        if (i == 0 || counts[i - 1].pool != pool) {
            int from = 0;
            for (const ledger::StationCounts& c : counts)
                if (c.pool == pool && c.from_id > 0 && (from == 0 || c.from_id < from))
                    from = c.from_id;
            std::string next = from > 0 ? next_text(led, pool, from, error) : "no hard IDs asked";
            if (!error.empty())
                return -1;
            std::cout << "Pool " << ledger::printable(pool) << ": " << next << "\n";
        }
        const ledger::StationCounts& c = counts[i];
        std::cout << "  Station " << ledger::printable(c.station) << " ("
                  << ledger::printable(c.part) << "): " << c.ok << " programmed, " << c.failed
                  << " failed, " << c.interrupted << " interrupted";
        if (c.started > 0)
            std::cout << ", " << c.started << " in progress";
        if (c.tested > 0)
            std::cout << ", " << c.tested << " tested, " << c.test_failed << " failed the test";
        if (c.from_id > 0) {
            std::string next = next_text(led, pool, c.from_id, error);
            if (!error.empty())
                return -1;
            std::cout << "; " << next;
        }
        std::cout << "\n";
    }
    if (counts.empty())
        std::cout << "No devices\n";
    int uncertain = 0;
    auto show = [&uncertain](const ledger::AttemptRow& r) {
        if (uncertain++ == 0)
            std::cout << "Uncertain hard IDs:\n";
        print_row(r);
    };
    if (led.rows(ledger::UNCERTAIN_ROWS, 0, show, error) != 0)
        return -1;
    if (uncertain == 0)
        std::cout << "Uncertain hard IDs: none\n";
    return 0;
}

int export_csv(ledger::Ledger& led, std::string& error) {
    std::cout << ledger::csv_header();
    return led.rows(
        ledger::ALL_ROWS, 0, [](const ledger::AttemptRow& r) { std::cout << ledger::csv_line(r); },
        error);
}

int device(ledger::Ledger& led, int hard_id, std::string& error) {
    int found = 0;
    auto show = [&found](const ledger::AttemptRow& r) {
        ++found;
        print_row(r);
    };
    if (led.rows(ledger::ROWS_OF_HARD_ID, hard_id, show, error) != 0)
        return -1;
    std::cout << "Hard ID " << ledger::hex4(hard_id) << ": " << found
              << (found == 1 ? " attempt" : " attempts") << "\n";
    return 0;
}

volatile sig_atomic_t stop_watching = 0;

void on_stop(int) {
    stop_watching = 1;
}

// Colour only on a terminal that has it.
bool terminal_has_colour() {
    const char* term = std::getenv("TERM");
    return term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
}

std::string local_clock(int64_t ms) {
    time_t seconds = static_cast<time_t>(ms / 1000);
    tm t{};
    localtime_r(&seconds, &t);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &t);
    return text;
}

// Not on a terminal: the view once, for scripts. On one: a title and the view, redrawn every
// second in place (each line cleared to its end, then the rest of the screen), until SIGINT
// or SIGTERM; a failed read shows its message instead and is tried again a second later.
int watch(ledger::Ledger& led, const std::string& location, std::string& error) {
    std::vector<ledger::ViewLine> lines;
    if (!isatty(STDOUT_FILENO)) {
        int64_t now = ledger::now_ms();
        if (ledger::read_view(led, now, lines, error) != 0)
            return -1;
        std::cout << ledger::render_view(lines, now, false);
        return 0;
    }
    bool colour = terminal_has_colour();
    struct sigaction stop {};
    stop.sa_handler = on_stop; // no SA_RESTART: the second's sleep ends at once
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    const char* hide_cursor = "\033[?25l";
    const char* show_cursor = "\033[?25h";
    std::cout << "\033[2J" << hide_cursor;
    while (!stop_watching) {
        int64_t now = ledger::now_ms();
        std::string text =
            ledger::shown_location(location) + "  " + local_clock(now) + "  (Ctrl-C ends)\n\n";
        std::string failed;
        if (ledger::read_view(led, now, lines, failed) == 0)
            text += ledger::render_view(lines, now, colour);
        else
            text += failed + "\n";
        std::string screen = "\033[H";
        for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
            screen += text.substr(at, end - at) + "\033[K\n";
        std::cout << screen << "\033[J" << std::flush;
        // Up to the next whole second of the clock.
        timespec pause{0, static_cast<long>(1000 - now % 1000) * 1000000L};
        nanosleep(&pause, nullptr);
    }
    std::cout << (colour ? "\033[0m" : "") << show_cursor << std::flush;
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string command = argc >= 3 ? argv[2] : "";
    int hard_id = 0;
    bool known = (argc == 3 && (command == "init" || command == "summary" || command == "export" ||
                                command == "watch")) ||
                 (argc >= 3 && command == "serve") || (argc == 4 && command == "device");
    if (!known || (command == "device" && !parse_hard_id(argv[3], hard_id))) {
        if (known)
            std::cerr << "korvofw-ledger: invalid hard ID \"" << argv[3]
                      << "\" (give hex digits from 0x1 to 0x1FFF, such as 0x123)\n";
        usage();
        return EXIT_USAGE;
    }
    std::string location = argv[1], error;
    if (command == "serve") {
        int rc = web::serve(location, std::vector<std::string>(argv + 3, argv + argc));
        if (rc == EXIT_USAGE)
            usage();
        return rc;
    }
    std::unique_ptr<ledger::Ledger> led = ledger::make_ledger(location, "", "");
    if (command == "init") {
        std::string said;
        if (led->init(said, error) != 0) {
            std::cerr << "korvofw-ledger: " << error << std::endl;
            return EXIT_OPEN_FAILED;
        }
        std::cout << said << std::endl;
        return 0;
    }
    if (led->open_read(error) != 0) {
        std::cerr << "korvofw-ledger: " << error << std::endl;
        return EXIT_OPEN_FAILED;
    }
    int rc = command == "summary"  ? summary(*led, error)
             : command == "export" ? export_csv(*led, error)
             : command == "watch"  ? watch(*led, location, error)
                                   : device(*led, hard_id, error);
    std::cout.flush();
    if (rc != 0) {
        std::cerr << "korvofw-ledger: " << error << std::endl;
        return EXIT_OPEN_FAILED;
    }
    return 0;
}
