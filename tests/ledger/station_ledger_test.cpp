// The station with a ledger, on both back ends: korvofw-sim plays devices, and the ledger's
// rows, the devices' memories and what the operator sees must agree.
#include "ledger_fixture.h"

#include <signal.h>

#include <cstdio>
#include <filesystem>

namespace {

constexpr int RUN_LIMIT_MS = 15000;
constexpr size_t RECORD_SIZE = 80;
// SHA-256 of the image programmed, tests/data/avr/blink.bin (414 bytes).
const char BLINK_SHA256[] = "38e0363297fac803ccccf921afd521aa81afceaa2bb1417a0eba6ecae2cb9863";
const char PARSED[] = "Parsed firmware file: fw.hex : v  414 bytes\n";

class StationLedger : public LedgerTest {
  protected:
    void SetUp() override {
        LedgerTest::SetUp();
        write_bytes(scratch.path("fw.hex"), read_bytes(data_path("avr/blink.hex")));
    }

    // A run from hard ID 0x1FFD, devices in out<n>/, stopped idle once the scenario is played.
    ProcessResult run(const std::string& name, const std::string& scenario,
                      const std::string& kill = "", std::string ledger = "",
                      const std::vector<std::string>& ids = {"-I", "1FFD"}) {
        const std::string out = scratch.path("out" + std::to_string(++runs_));
        write_text(out + ".scenario", scenario);
        ledger = ledger.empty() ? location : ledger;
        ProcessOptions po;
        po.cwd = scratch.dir, po.timeout_ms = RUN_LIMIT_MS;
        po.env = {"KORVOFW_SIM=" + out + ".scenario", "KORVOFW_SIM_OUT=" + out};
        if (!kill.empty())
            po.env.push_back("KORVOFW_SIM_KILL=" + kill);
        po.stop_when = [out](const std::string&) { return std::filesystem::exists(out + "/done"); };
        std::vector<std::string> argv = {KORVOFW_SIM_BIN, "-f",        "fw.hex", "-e",
                                         "id.bin",        "-r",        "0x8700", "--ledger",
                                         ledger,          "--station", name};
        argv.insert(argv.end(), ids.begin(), ids.end());
        return run_process(argv, po);
    }
    int runs_ = 0;
};

} // namespace

TEST_P(StationLedger, RowsHardIdsAndRestarts) {
    ProcessResult first = run("st1", "device 1 1 port=1-1.4\nwait\ndevice 1 2 fault=stuck\nwait\n"
                                     "device 1 4 fault=busy\nwait\ndevice 1 3 fault=sigterm@5\n");
    ASSERT_EQ(first.status, 0) << first.err; // stopped in its last pass, which it ended first
    EXPECT_EQ(first.err.rfind("Device in use: bus 1, device 4 is held by another program", 0), 0u)
        << first.err;
    // The failing device's ID is handed out again: no gap. The ledger names the next ID.
    const std::string left = "Hard IDs left in pool default: ";
    const std::string books = "Updating id.bin\n\nnext unique ID (1FFE\n" + left + "2\n";
    for (const std::string& seen : {books + ".", "Abort ********** \n" + books,
                                    "next unique ID (1FFF\n" + left + "1\n\nStopped.\n"})
        EXPECT_TRUE(has(first.out, seen)) << seen;
    // Started again under its name (nothing to mark), killed in the flash phase of its next device.
    EXPECT_EQ(run("st1", "device 2 1\n", "request:5").signal, SIGKILL);
    EXPECT_EQ(run("st1", "device 2 2\n").err,
              "All hard IDs are used up; the device on bus 2, device 2 was not programmed. Stop "
              "the station: no hard ID is left to hand out\n");

    // state, hard ID and its state, bus-device, port, RXaddr, result, message
    const char* const want[] = {
        "ok 1ffd used 1-1 1-1.4 8700 0 programmed",
        "failed 1ffe released 1-2 1-2 8701 -2 Flash verification failed",
        "failed 1ffe released 1-4 1-4 8702 -10 In use by another program",
        "ok 1ffe used 1-3 1-3 8703 0 programmed",
        "interrupted 1fff uncertain 2-1 2-1 8700 0 ",
    };
    std::vector<ledger::AttemptRow> got = rows();
    ASSERT_EQ(got.size(), std::size(want));
    for (size_t k = 0; k < got.size(); ++k) {
        const ledger::AttemptRow& r = got[k];
        char line[256];
        std::snprintf(line, sizeof line, "%s %x %s %d-%d %s %x %d %s", r.state.c_str(), r.hard_id,
                      r.id_state.c_str(), r.bus, r.devnum, r.port.c_str(), r.rxaddr, r.result,
                      r.message.c_str());
        EXPECT_EQ(line, std::string(want[k]));
        EXPECT_EQ(r.station + " " + r.pool + " " + r.flash_path + " " + r.image_sha256 + " " +
                      std::to_string(r.image_length) + " " + std::to_string(r.soft_id),
                  std::string("st1 default fw.hex ") + BLINK_SHA256 + " 414 -1");
        EXPECT_TRUE(r.arrived_ms > 0 && r.ended_ms >= (r.finished() ? r.arrived_ms : 0)) << k;
        EXPECT_TRUE(r.result != -10 || r.flash_ms + r.eeprom_ms == 0) << "no pass began: " << k;
        EXPECT_TRUE(r.state == "ok" || r.record_written.empty()) << k;
        if (r.state != "ok")
            continue;
        // The record written is the device's EEPROM, with the row's hard ID, over erased memory.
        const Bytes eeprom =
            read_bytes(scratch.path("out1/1-" + std::to_string(r.devnum)) + ".eeprom");
        EXPECT_EQ(r.record_written, Bytes(eeprom.begin(), eeprom.begin() + RECORD_SIZE)) << k;
        EXPECT_EQ((eeprom[23] << 8 | eeprom[24]) >> 3, r.hard_id) << k;
        EXPECT_EQ(r.record_read, Bytes(RECORD_SIZE, 0xFF)) << k;
    }
}

TEST_P(StationLedger, ANameRunsOnceAndAnUnreachableLedgerStopsStartUp) {
    std::unique_ptr<ledger::Ledger> running = station("st1");
    take(*running, 1);
    ProcessResult second = run("st1", "device 1 1\n");
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err, "ledger " + ledger::shown_location(location) +
                              ": taking the station name: a station named st1 is running on this "
                              "ledger; stop that station first, or give this one another name "
                              "(--station NAME)\n");
    EXPECT_EQ(second.out, PARSED); // and no device taken
    ASSERT_EQ(rows().size(), 1u) << "the refused station wrote nothing";
    EXPECT_EQ(rows()[0].id_state, "reserved") << "and marked nothing";
    running.reset();

    // No ledger there yet, or no server: refused, nothing created, no password shown.
    const std::string secret = "s3cr3t-pw";
    const std::string unreachable =
        GetParam() == SQLITE
            ? scratch.path("new.db")
            : "postgresql://korvo:" + secret + "@/line?host=" + scratch.path("nosocket");
    ProcessResult r = run("st1", "device 1 1\n", "", unreachable);
    EXPECT_EQ(r.status, 1);
    const std::string said = GetParam() == SQLITE
                                 ? ": opening it: No such file or directory; create it first with: "
                                   "korvofw-ledger " +
                                       unreachable + " init\n"
                                 : ": connecting: ";
    EXPECT_EQ(r.err.substr(0, r.err.find(said)) + said,
              "ledger " + ledger::shown_location(unreachable) + said);
    EXPECT_FALSE(std::filesystem::exists(scratch.path("new.db")));
    EXPECT_EQ(r.err.find(secret), std::string::npos) << r.err;
    EXPECT_EQ(r.out, PARSED);

    // From 100 hard IDs left on, every device says how many; with hard ID 0 none is handed out.
    ProcessResult near = run("st2", "device 1 1\nwait\ndevice 1 2\n", "", "", {"-I", "1F9A"});
    EXPECT_EQ(near.out.find("pool default: 101"), std::string::npos) << near.out;
    EXPECT_NE(near.out.find("Hard IDs left in pool default: 100\n"), std::string::npos);
    ASSERT_TRUE(run("st3", "device 1 1\n", "", "", {"-I", "0", "-s", "7"}).stopped); // 0: none
    const ledger::AttemptRow last = rows().back();
    EXPECT_EQ(last.state + " " + std::to_string(last.hard_id) + " [" + last.id_state + "] " +
                  std::to_string(last.soft_id),
              "ok -1 [] 7");
}

LEDGER_ON_BOTH_BACK_ENDS(StationLedger);

// A ledger that lost the row of the device in hand (a restored backup, a stale replica; here a
// trigger removes it) stops the station, with that device's outcome printed whole.
TEST_P(StationLedger, ALedgerThatLostItsRowsStopsTheStation) {
    const std::string lose = "DELETE FROM hard_ids WHERE row_id = NEW.row_id; DELETE FROM attempts "
                             "WHERE row_id = NEW.row_id;";
    if (GetParam() == SQLITE)
        raw_sql(location,
                "CREATE TRIGGER lose AFTER INSERT ON hard_ids WHEN NEW.hard_id = 8190 BEGIN " +
                    lose + " END");
    else
        raw_sql(location, "CREATE FUNCTION lose() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN " +
                              lose +
                              " RETURN NULL; END $$; CREATE TRIGGER lose AFTER INSERT ON hard_ids "
                              "FOR EACH ROW WHEN (NEW.hard_id = 8190) EXECUTE FUNCTION lose()");
    ProcessResult r = run("st1", "device 1 1\nwait\ndevice 1 2\nwait\ndevice 1 3\n");
    EXPECT_EQ(r.status, 1);
    const Bytes eeprom = read_bytes(scratch.path("out1/1-2.eeprom"));
    EXPECT_EQ(r.err, "ledger " + ledger::shown_location(location) +
                         ": writing the device's outcome: row 2 of station st1 is not in the "
                         "ledger; find out which copy of the ledger is current (a restored backup "
                         "or a failed-over server may lack the latest rows).\nThe ledger lost "
                         "rows this station wrote: it was restored from a backup or failed over "
                         "to a copy that lags behind, so hard IDs handed out since could be "
                         "handed out again. The station stops. Check which copy of the ledger is "
                         "current and that it holds every device this station programmed, then "
                         "start the station again.\nThe device on bus 1, device 2 (row 2): hard "
                         "ID 0x1FFE used, soft ID none, RXaddr 0x8701, result 0 (programmed), "
                         "record read " +
                         std::string(160, 'f') + ", record written " +
                         ledger::hex_bytes(Bytes(eeprom.begin(), eeprom.begin() + RECORD_SIZE)) +
                         "\n");
    EXPECT_EQ((eeprom[23] << 8 | eeprom[24]) >> 3, 0x1FFE);
    EXPECT_EQ(r.out.find("next unique ID (1FFF"), std::string::npos) << "and no bookkeeping";
    ASSERT_EQ(rows().size(), 1u);
}
