// The event stream and the service notifications of whole stations on the bench: every line
// checked by a JSON Schema validator and against the devices' memories and the ledger's rows.
#include "ledger_fixture.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <map>

using nlohmann::json;

namespace {

const std::string SCHEMA = std::string(KORVOFW_SOURCE_DIR) + "/docs/events.schema.json";

// Validates every line of the files with python3-jsonschema: "N lines valid", or the faults.
std::string validate(const std::vector<std::string>& files) {
    const char* script = "import json, sys, jsonschema\n"
                         "schema = json.load(open(sys.argv[1]))\n"
                         "jsonschema.Draft202012Validator.check_schema(schema)\n"
                         "v = jsonschema.Draft202012Validator(schema)\n"
                         "n = 0\n"
                         "for name in sys.argv[2:]:\n"
                         "    for line in open(name):\n"
                         "        n += 1\n"
                         "        for e in v.iter_errors(json.loads(line)):\n"
                         "            print(name, n, e.message[:300])\n"
                         "print(n, 'lines valid')\n";
    std::vector<std::string> argv = {"/usr/bin/python3", "-c", script, SCHEMA};
    argv.insert(argv.end(), files.begin(), files.end());
    ProcessResult r = run_process(argv);
    EXPECT_EQ(r.status, 0) << "the validator (python3-jsonschema) must run: " << r.err;
    return r.out;
}

std::vector<json> read_events(const std::string& path) {
    std::vector<json> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        out.push_back(json::parse(line));
    return out;
}

std::string text(const json& value) {
    return value.is_null() ? "null" : value.is_string() ? value.get<std::string>() : value.dump();
}

class Events : public LedgerTest {
  protected:
    // A station (blink, hard IDs from 0x10, ledger) playing the scenario, events to ev.jsonl.
    ProcessResult run(const std::string& scenario, const std::string& events = "ev.jsonl",
                      const std::vector<std::string>& launcher = {},
                      std::vector<std::string> more = {}) {
        more.insert(more.begin(), {"-f", "fw.hex", "-I", "10", "-r", "0x8700", "--ledger", location,
                                   "--station", "st1", "--events", events});
        return play("out", scenario, more, {}, launcher);
    }
};

} // namespace

TEST_P(Events, EveryLineValidatesAndAgreesWithTheDevicesAndTheLedger) {
    ProcessResult r = run("device 1 1\nwait\ndevice 1 2 fault=stuck\nwait\ndevice 1 3 fault=busy\n"
                          "rotate ev.jsonl ev.1\ndevice 1 4 fault=gone\nwait\ndevice 1 5\nwait\n");
    ASSERT_TRUE(r.stopped) << r.out << r.err;
    EXPECT_EQ(validate({scratch.path("ev.1"), scratch.path("ev.jsonl")}), "36 lines valid\n");
    // SIGHUP after the move: the moved file ends with device 3, the new one begins with device 4.
    std::vector<json> moved = read_events(scratch.path("ev.1")),
                      now = read_events(scratch.path("ev.jsonl"));
    ASSERT_FALSE(moved.empty() || now.empty());
    EXPECT_EQ(text(moved.back()["type"]) + " " + text(moved.back()["device"]), "device.ended 3");
    EXPECT_EQ(text(now.front()["type"]) + " " + text(now.front()["device"]), "device.arrived 4");
    std::vector<json> all = moved;
    all.insert(all.end(), now.begin(), now.end());

    // Each device: its arrival, its phases, its end, never interleaved; then what it ended with.
    const std::string sha = text(all.front()["image"]["sha256"]);
    EXPECT_EQ(text(all.front()["type"]) + " " + text(all.front()["ledger"]),
              "station.started " + location);
    std::map<int64_t, ledger::AttemptRow> rows;
    for (const ledger::AttemptRow& row : ledger_rows(location))
        rows[row.row_id] = row;
    std::vector<std::string> ended, phases;
    int open_device = 0;
    for (const json& e : all) {
        const std::string type = text(e["type"]);
        EXPECT_EQ(text(e["station"]), "st1");
        if (type == "device.arrived") {
            EXPECT_EQ(open_device, 0) << e;
            open_device = e["device"].get<int>();
            EXPECT_EQ(text(e["port"]), "1-" + std::to_string(open_device));
        } else if (type.rfind("phase.", 0) == 0 && open_device == 1) {
            phases.push_back(text(e["phase"]) +
                             (type == "phase.ended" ? "=" + text(e["result"]) : "") +
                             (e.contains("bytes_done")
                                  ? " " + text(e["bytes_done"]) + "/" + text(e["bytes_total"])
                                  : ""));
        } else if (type == "device.ended") {
            EXPECT_EQ(e["device"].get<int>(), open_device) << e;
            open_device = 0;
            ended.push_back(text(e["device"]) + " " + text(e["result"]) + " " + text(e["message"]) +
                            (e["counted"].get<bool>() ? " counted " : " not counted ") +
                            text(e["hard_id"]));
            EXPECT_EQ(text(e["image_sha256"]) + " " + text(e["image_length"]), sha + " 414");
            ASSERT_TRUE(rows.count(e["row"].get<int64_t>())) << e;
            const ledger::AttemptRow& row = rows[e["row"].get<int64_t>()];
            EXPECT_EQ(row.devnum, e["device"].get<int>());
            EXPECT_EQ(row.result, e["result"].get<int>());
            EXPECT_EQ(row.message, text(e["message"]));
            EXPECT_EQ(row.image_sha256, sha);
            EXPECT_EQ(ledger::hex_bytes(row.record_read) + "|" +
                          ledger::hex_bytes(row.record_written),
                      (e["record_read"].is_null() ? "" : text(e["record_read"])) + "|" +
                          (e["record_written"].is_null() ? "" : text(e["record_written"])));
            if (e["counted"].get<bool>()) { // the device holds what the event says it was sent
                EXPECT_EQ(row.hard_id, e["hard_id"].get<int>());
                Bytes held = read_bytes(scratch.path("out/1-" + text(e["device"]) + ".eeprom"));
                held.resize(80);
                EXPECT_EQ(ledger::hex_bytes(held), text(e["record_written"]));
            }
        }
    }
    EXPECT_EQ(open_device, 0);
    EXPECT_EQ(text(all.back()["type"]) + " " + text(all.back()["reason"]),
              "station.stopping signal");
    EXPECT_EQ(phases,
              (std::vector<std::string>{"flash.write", "flash.write=0 414/414", "flash.verify",
                                        "flash.verify=0", "eeprom.read", "eeprom.read=0",
                                        "eeprom.write", "eeprom.write=0", "start", "start=0"}));
    EXPECT_EQ(ended, (std::vector<std::string>{"1 0 programmed counted 16",
                                               "2 -2 Flash verification failed not counted null",
                                               "3 -10 In use by another program not counted null",
                                               "4 -6 Device not found not counted null",
                                               "5 0 programmed counted 17"}));
}

// Streams that cannot be opened stop the start; a reader that went away costs only the stream.
TEST_P(Events, StreamsThatCannotBeWrittenNeverStopTheLine) {
    struct Case {
        std::string events;
        int status;
        std::string err;
        std::vector<std::string> launcher = {};
    };
    // A pipe whose reader is gone before the station starts: every write gets EPIPE.
    const std::vector<std::string> closed_reader = {
        "/usr/bin/python3", "-c",
        "import os, sys\nr, w = os.pipe()\nos.close(r)\nos.dup2(w, 3)\nos.execv(sys.argv[1], "
        "sys.argv[1:])\n"};
    const Case cases[] = {
        {"fd:3", 0,
         "Cannot write to the event stream fd:3: Broken pipe; no more events are written until the "
         "station is started again\n",
         closed_reader},
        {"fd:9", 255,
         "--events fd:9: no such open descriptor; give fd:N with a descriptor the station is "
         "started with, or a file\n"},
        {"no/such/dir/ev", 255,
         "Cannot open the event file no/such/dir/ev for --events: No such file or directory; give "
         "a file in a directory the station may write\n"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(scratch.path("out"));
        ProcessResult r = run("device 1 1\nwait\ndevice 1 2\nwait\n", c.events, c.launcher);
        EXPECT_EQ(r.err, c.err) << c.events;
        EXPECT_EQ(r.stopped ? 0 : r.status, c.status) << c.events;
        // Both devices programmed when the station ran.
        EXPECT_EQ(has(r.out, "\rWaiting (2 devices) "), c.status == 0) << c.events;
    }
}

LEDGER_ON_BOTH_BACK_ENDS(Events);

namespace {

// The datagrams the station sends to the test's NOTIFY_SOCKET.
struct NotifySocket {
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    explicit NotifySocket(const std::string& path) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << path;
    }
    ~NotifySocket() { close(fd); }
    // The next datagram within timeout_ms, or "" when none came.
    std::string next(int timeout_ms) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1)
            return "";
        char buf[512];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }
    // The next datagram that is not a watchdog ping, within a bounded time.
    std::string next_status() {
        for (int i = 0; i < 1000; ++i) {
            std::string d = next(10000);
            if (d != "WATCHDOG=1")
                return d;
        }
        return "";
    }
};

} // namespace

// READY once it waits, the status after every device, the watchdog from its loop: none while
// frozen, again after it goes on.
TEST(Notify, ReadyStatusAndAWatchdogThatStopsWithTheLoop) {
    ScratchDir dir;
    write_bytes(dir.path("fw.hex"), read_bytes(data_path("avr/blink.hex")));
    write_text(dir.path("run.scenario"), "device 1 1\nwait\ndevice 1 2 fault=stuck\nwait\n");
    NotifySocket sock(dir.path("notify"));
    const int watchdog_ms = 200;
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1), dup2(null, 2);
        if (chdir(dir.dir.c_str()) != 0)
            _exit(127);
        setenv("NOTIFY_SOCKET", dir.path("notify").c_str(), 1);
        setenv("WATCHDOG_USEC", std::to_string(watchdog_ms * 1000).c_str(), 1);
        setenv("KORVOFW_SIM", "run.scenario", 1), setenv("KORVOFW_SIM_OUT", "out", 1);
        execl(KORVOFW_SIM_BIN, KORVOFW_SIM_BIN, "-f", "fw.hex", "-I", "10", nullptr);
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    EXPECT_EQ(sock.next_status(), "READY=1\nSTATUS=Waiting (0 devices)");
    EXPECT_EQ(sock.next_status(), "STATUS=Waiting (1 devices); last: 0x0010 ok");
    EXPECT_EQ(sock.next_status(),
              "STATUS=Waiting (1 devices); last: 1-2 Flash verification failed");
    EXPECT_EQ(sock.next(10000), "WATCHDOG=1");
    // Frozen (waitpid says so): once drained, nothing comes for three periods.
    int status = 0;
    kill(pid, SIGSTOP);
    ASSERT_EQ(waitpid(pid, &status, WUNTRACED), pid);
    ASSERT_TRUE(WIFSTOPPED(status));
    while (!sock.next(0).empty()) {
    }
    EXPECT_EQ(sock.next(3 * watchdog_ms), "");
    kill(pid, SIGCONT);
    EXPECT_EQ(sock.next(10000), "WATCHDOG=1");
    kill(pid, SIGTERM);
    EXPECT_EQ(sock.next_status(), "STOPPING=1");
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// --after: one test.ended for each device the pass programmed, before its device.ended, which
// counts it only when it passed; each agrees with the device's ledger row, which holds the test's
// status, time and results (a key given twice keeps its last value; the command learns its row),
// and a failed test leaves the hard ID used. The station's counts take the tests.
TEST_P(Events, TestEndedAgreesWithTheLedger) {
    write_text(scratch.path("t.sh"), "echo fw=1.$KORVOFW_DEVICE; echo note; echo row=$KORVOFW_ROW\n"
                                     "echo fw=2.0; [ $KORVOFW_DEVICE = 1 ]\n");
    ProcessResult r = run("device 1 1\nwait\ndevice 1 2\nwait\ndevice 1 3 fault=stuck\nwait\n",
                          "ev.jsonl", {}, {"--after", "sh t.sh"});
    ASSERT_TRUE(r.stopped) << r.out << r.err;
    std::vector<json> all = read_events(scratch.path("ev.jsonl"));
    EXPECT_EQ(validate({scratch.path("ev.jsonl")}), std::to_string(all.size()) + " lines valid\n");
    std::vector<ledger::AttemptRow> rows = ledger_rows(location);
    std::string seen, kept;
    for (const json& e : all) {
        const std::string type = text(e["type"]);
        if (type == "device.ended")
            seen += "ended " + text(e["device"]) + " " + text(e["counted"]) + "\n";
        if (type != "test.ended")
            continue;
        seen += text(e["device"]) + " " + text(e["port"]) + " " + text(e["passed"]) + " " +
                text(e["status"]) + " " + text(e["exit_status"]) + " " + text(e["signal"]) + " " +
                text(e["timed_out"]) + " " + text(e["results"]) + " " + text(e["dropped"]) + "\n";
        const ledger::AttemptRow& row = rows.at(e["row"].get<size_t>() - 1);
        EXPECT_EQ(text(e["hard_id"]) + " " + text(e["status"]),
                  std::to_string(row.hard_id) + " " + row.test_status);
        EXPECT_EQ(e["results"].dump(), row.test_results);
    }
    EXPECT_EQ(seen,
              "1 1-1 true passed 0 null false {\"fw\":\"2.0\",\"row\":\"1\"} 0\nended 1 true\n"
              "2 1-2 false exit status 1 1 null false {\"fw\":\"2.0\",\"row\":\"2\"} 0\n"
              "ended 2 false\nended 3 false\n");
    for (const ledger::AttemptRow& row : rows)
        kept += row.state + " " + row.id_state + " " + row.test_status +
                (row.test_ms >= 0 ? "\n" : " no time\n");
    EXPECT_EQ(kept, "ok used passed\nok used exit status 1\nfailed released  no time\n");
    std::vector<ledger::StationNow> now;
    std::string error;
    std::unique_ptr<ledger::Ledger> reader = ledger::make_ledger(location, "", "");
    ASSERT_EQ(reader->open_read(error) | reader->stations(0, now, error), 0) << error;
    ASSERT_EQ(now.size(), 1u);
    EXPECT_EQ(std::to_string(now[0].tested) + " tested, " + std::to_string(now[0].test_failed) +
                  " failed",
              "2 tested, 1 failed");
}
