// The station with a ledger, on both back ends: korvofw-sim plays devices, and the ledger's
// rows, the devices' memories and what the operator sees must agree.
#include "ledger_fixture.h"
#include "process_runner.h"

#include <filesystem>

namespace {

struct StationRun {
    ProcessResult r;
    std::string out_dir;
};

class StationLedger : public LedgerTest {
  protected:
    Bytes image = read_bytes(data_path("avr/blink.bin"));

    void SetUp() override {
        LedgerTest::SetUp();
        write_bytes(scratch.path("fw.hex"), read_bytes(data_path("avr/blink.hex")));
    }

    // One run of the station as `name`, stopped once the scenario is played out.
    StationRun station(const std::string& name, const std::string& scenario,
                       std::vector<std::string> env = {}, const std::string& first_id = "1FFD") {
        static int runs = 0;
        StationRun run{{}, scratch.path("out" + std::to_string(++runs))};
        write_text(run.out_dir + ".scenario", scenario);
        ProcessOptions po;
        po.cwd = scratch.dir;
        po.timeout_ms = 15000;
        po.env = {"KORVOFW_SIM=" + run.out_dir + ".scenario", "KORVOFW_SIM_OUT=" + run.out_dir};
        po.env.insert(po.env.end(), env.begin(), env.end());
        const std::string done = run.out_dir + "/done";
        po.stop_when = [done](const std::string&) { return std::filesystem::exists(done); };
        run.r = run_process({KORVOFW_SIM_BIN, "-f", "fw.hex", "-e", "id.bin", "-I", first_id, "-r",
                             "0x8700", "--ledger", location, "--station", name},
                            po);
        return run;
    }

    Bytes record_of(const StationRun& run, const std::string& device) {
        Bytes eeprom = read_bytes(run.out_dir + "/" + device + ".eeprom");
        return Bytes(eeprom.begin(), eeprom.begin() + std::min<size_t>(eeprom.size(), 80));
    }
};

struct RowWant {
    const char* state;
    int hard_id;
    const char* id_state;
    int devnum;
    int rxaddr;
    int result;
    const char* message;
    bool record_written;
};

} // namespace

TEST_P(StationLedger, RowsHardIdsAndRestarts) {
    StationRun first = station("st1", "device 1 1 port=1-1.4\nwait\ndevice 1 2 fault=stuck\nwait\n"
                                      "device 1 3\n");
    ASSERT_TRUE(first.r.stopped) << first.r.err;
    EXPECT_EQ(first.r.err, "");
    // The failing device's ID is handed out again: no gap. The ledger names the next ID.
    const std::string out = first.r.out;
    for (const char* seen : {"Updating id.bin\n\nnext unique ID (1FFE\nHard IDs left in pool "
                             "default: 2\n.",
                             "Abort ********** \nUpdating id.bin\n\nnext unique ID (1FFE\nHard "
                             "IDs left in pool default: 2\n",
                             "Updating id.bin\n\nnext unique ID (1FFF\nHard IDs left in pool "
                             "default: 1\n"})
        EXPECT_NE(out.find(seen), std::string::npos) << seen;

    // Killed in the flash phase of its next device, and started again under its name.
    station("st1", "device 2 1\n", {"KORVOFW_SIM_KILL=request:5"});
    StationRun again = station("st1", "device 2 2\n");
    EXPECT_EQ(again.r.err, "All hard IDs are used up; the device on bus 2, device 2 was not "
                           "programmed. Stop the station: no hard ID is left to hand out\n");

    const RowWant want[] = {
        {"ok", 0x1FFD, "used", 1, 0x8700, 0, "programmed", true},
        {"failed", 0x1FFE, "released", 2, 0x8701, -2, "Flash verification failed", false},
        {"ok", 0x1FFE, "used", 3, 0x8702, 0, "programmed", true},
        {"interrupted", 0x1FFF, "uncertain", 1, 0x8700, 0, "", false},
    };
    std::vector<ledger::AttemptRow> got = rows();
    ASSERT_EQ(got.size(), std::size(want));
    const std::string sha = ledger::sha256_hex(image.data(), image.size());
    for (size_t k = 0; k < got.size(); ++k) {
        const ledger::AttemptRow& row = got[k];
        const RowWant& w = want[k];
        SCOPED_TRACE(k);
        EXPECT_EQ(row.station, "st1");
        EXPECT_EQ(row.pool, "default");
        EXPECT_EQ(row.state, w.state);
        EXPECT_EQ(row.hard_id, w.hard_id);
        EXPECT_EQ(row.id_state, w.id_state);
        EXPECT_EQ(row.devnum, w.devnum);
        EXPECT_EQ(row.port,
                  k == 0 ? "1-1.4" : std::to_string(row.bus) + "-" + std::to_string(w.devnum));
        EXPECT_EQ(row.rxaddr, w.rxaddr);
        EXPECT_EQ(row.soft_id, -1);
        EXPECT_EQ(row.flash_path, "fw.hex");
        EXPECT_EQ(row.image_sha256, sha);
        EXPECT_EQ(row.image_length, static_cast<int64_t>(image.size()));
        EXPECT_EQ(row.result, w.result);
        EXPECT_EQ(row.message, w.message);
        EXPECT_GT(row.arrived_ms, 0);
        if (row.finished()) {
            EXPECT_GE(row.ended_ms, row.arrived_ms);
        }
        if (w.record_written) {
            const Bytes held = record_of(first, "1-" + std::to_string(w.devnum));
            EXPECT_EQ(row.record_written, held);
            EXPECT_EQ(row.record_read, Bytes(80, 0xFF)); // erased devices
        } else {
            EXPECT_TRUE(row.record_written.empty());
        }
    }
}

TEST_P(StationLedger, ANameRunsOnceAndAnUnreachableLedgerStopsStartUp) {
    {
        std::unique_ptr<ledger::Ledger> running = LedgerTest::station("st1");
        StationRun second = station("st1", "device 1 1\n");
        EXPECT_EQ(second.r.status, 1);
        EXPECT_NE(second.r.err.find("st1"), std::string::npos) << second.r.err;
        EXPECT_EQ(second.r.out.find("Loading Flash."), std::string::npos);
    }
    EXPECT_TRUE(rows().empty()); // the refused station marked nothing

    const std::string secret = "s3cr3t-pw";
    const std::string unreachable =
        GetParam() == SQLITE
            ? scratch.path("no/such/dir/line.db")
            : "postgresql://korvo:" + secret + "@/line?host=" + scratch.path("nosocket");
    ProcessOptions po;
    po.cwd = scratch.dir;
    po.timeout_ms = 15000;
    ProcessResult r = run_process({KORVOFW_SIM_BIN, "-I", "10", "--ledger", unreachable}, po);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(ledger::shown_location(unreachable)), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(secret), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
}

LEDGER_ON_BOTH_BACK_ENDS(StationLedger);
