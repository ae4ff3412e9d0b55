// The whole station on the simulated bench: the real program, started as an operator would,
// with devices plugged in by a scenario. Checked: exact output, device memories afterwards and
// the EEPROM image file.
#include "process_runner.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>

namespace {

const int FLASH_SIZE = 32768;
const int EEPROM_SIZE = 1024;

struct StationRun {
    ProcessResult result;
    std::string out;  // stdout up to where the scenario was played out
    std::string idle; // what followed: only progress dots and waiting lines
};

struct Station : testing::Test {
    ScratchDir dir;
    std::string fw = dir.path("fw.hex");
    std::string id = dir.path("id.bin");
    Bytes image = read_bytes(data_path("avr/blink.bin"));

    void SetUp() override { write_bytes(fw, read_bytes(data_path("avr/blink.hex"))); }

    // Runs the scenario to its end and stops the station, as the harness does.
    StationRun run(const std::string& scenario, std::vector<std::string> options,
                   std::vector<std::string> env = {}, int uid = -1) {
        write_text(dir.path("run.scenario"), scenario);
        std::string done = dir.path("out/done");
        std::remove(done.c_str());
        ProcessOptions po;
        po.cwd = dir.dir;
        po.uid = po.gid = uid;
        po.timeout_ms = 10000;
        po.env = {"KORVOFW_SIM=" + dir.path("run.scenario"), "KORVOFW_SIM_OUT=" + dir.path("out")};
        po.env.insert(po.env.end(), env.begin(), env.end());
        po.stop_when = [done](const std::string&) { return std::filesystem::exists(done); };
        options.insert(options.begin(), KORVOFW_SIM_BIN);
        StationRun run;
        run.result = run_process(options, po);
        // The scenario is played out once the station is back to waiting after the last
        // device: everything after the last pass's bookkeeping is idle progress.
        size_t end = run.result.out.rfind("next unique ID (");
        end = end == std::string::npos ? run.result.out.rfind("Starting device.\n") : end;
        end = end == std::string::npos ? 0 : run.result.out.find('\n', end) + 1;
        while (end < run.result.out.size() && run.result.out[end] == '\n')
            ++end; // the empty line after a pass
        run.out = run.result.out.substr(0, end);
        run.idle = run.result.out.substr(end);
        return run;
    }

    Bytes memory(const std::string& device, const char* kind) {
        return read_bytes(dir.path("out/" + device + "." + kind));
    }
};

std::string hex4(int value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value);
    return text;
}

const std::string ERASED_RECORD = " Tag:       FFFF\n"
                                  " Version:   FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF\n"
                                  " Hard ID:   0x1FFF\n"
                                  " Soft ID:   0x00FF\n"
                                  " RXaddr:    0xFFFF\n"
                                  "\n";
const std::string ERASED_DUMP =
    "  FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF\n"
    "  FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF\n"
    "  FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF\n"
    "  FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF\n"
    "  FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF\n"
    "\n";

// What one erased device shows when it gets hard ID and RXaddr, merged with a zeroed image.
std::string programmed_device(int hard_id, int rxaddr, const std::string& id_file) {
    return "\nLoading Flash.\n"
           "Writing firmware... Checking... Passed. \n\n"
           "Reading EEPROM.\n" +
           ERASED_RECORD + ERASED_DUMP + " -> Setting Hard ID to: 0x" + hex4(hard_id) +
           "\n -> Setting RXaddr to: 0x" + hex4(rxaddr) +
           "\n\nWriting EEPROM.\n"
           " Tag:       0000\n"
           " Version:   0000000000000000000000000000000000000000\n"
           " Hard ID:   0x" +
           hex4(hard_id) +
           "\n"
           " Soft ID:   0x0000\n"
           " RXaddr:    0x" +
           hex4(rxaddr) +
           "\n\n"
           "Starting device.\n"
           "Updating " +
           id_file + "\n\nnext unique ID (" + hex4(hard_id + 1) + "\n";
}

// Only dots and the waiting line with this count follow the last device.
void expect_idle(const std::string& idle, int count) {
    std::string waiting = "\rWaiting (" + std::to_string(count) + " devices) ";
    std::string rest = idle;
    for (size_t at; (at = rest.find(waiting)) != std::string::npos;)
        rest.erase(at, waiting.size());
    EXPECT_EQ(rest.find_first_not_of('.'), std::string::npos) << idle.substr(0, 200);
    EXPECT_NE(idle.find(waiting), std::string::npos);
}

Bytes zeroed_id_file() {
    return Bytes(40, 0x00);
}

} // namespace

TEST_F(Station, ThreeDevicesInARow) {
    write_bytes(id, zeroed_id_file());
    StationRun r = run("device 1 1\nwait\ndevice 1 2\nwait\ndevice 1 3\nwait\n",
                       {"-f", "fw.hex", "-e", "id.bin", "-I", "10", "-r", "0x8700"});
    EXPECT_EQ(r.result.err, "");
    // Between devices: the waiting line with the new count, and a dot for the cycle that
    // took the departed device's removal.
    EXPECT_EQ(r.out, "Parsed firmware file: fw.hex : v  414 bytes\n"
                     ".\rWaiting (0 devices) " +
                         programmed_device(0x10, 0x8700, "id.bin") + ".\rWaiting (1 devices) ." +
                         programmed_device(0x11, 0x8701, "id.bin") + ".\rWaiting (2 devices) ." +
                         programmed_device(0x12, 0x8702, "id.bin"));
    expect_idle(r.idle, 3);

    for (int n = 1; n <= 3; ++n) {
        SCOPED_TRACE(n);
        Bytes flash = memory("1-" + std::to_string(n), "flash");
        ASSERT_EQ(flash.size(), static_cast<size_t>(FLASH_SIZE));
        EXPECT_EQ(Bytes(flash.begin(), flash.begin() + image.size()), image);
        EXPECT_EQ(Bytes(flash.begin() + image.size(), flash.end()),
                  Bytes(FLASH_SIZE - image.size(), 0xFF));
        Bytes ee = memory("1-" + std::to_string(n), "eeprom");
        ASSERT_EQ(ee.size(), static_cast<size_t>(EEPROM_SIZE));
        int hard_id = 0x0F + n;
        Bytes record(40, 0x00);
        record[23] = static_cast<unsigned char>(hard_id >> 5);
        record[24] = static_cast<unsigned char>(hard_id << 3);
        record[26] = 0x87;
        record[27] = static_cast<unsigned char>(n - 1);
        EXPECT_EQ(Bytes(ee.begin(), ee.begin() + 40), record);
        EXPECT_EQ(Bytes(ee.begin() + 80, ee.end()), Bytes(EEPROM_SIZE - 80, 0xFF));
    }
    // The image file: next hard ID 0x13, the RXaddr of the last device.
    Bytes expected = zeroed_id_file();
    expected[23] = 0x00, expected[24] = 0x98;
    expected[26] = 0x87, expected[27] = 0x02;
    EXPECT_EQ(read_bytes(id), expected);
}

TEST_F(Station, RestartsFromTheImageFileWithoutRepeatingAnId) {
    write_bytes(id, zeroed_id_file());
    run("device 1 1\n", {"-f", "fw.hex", "-e", "id.bin", "-I", "10"});
    Bytes saved = read_bytes(id);
    int next = ((saved[23] << 8) | saved[24]) >> 3;
    EXPECT_EQ(next, 0x11);
    StationRun again = run("device 1 2\n", {"-f", "fw.hex", "-e", "id.bin", "-I", hex4(next)});
    EXPECT_NE(again.out.find(" -> Setting Hard ID to: 0x0011\n"), std::string::npos);
    Bytes ee = memory("1-2", "eeprom");
    EXPECT_EQ(ee[23], 0x00);
    EXPECT_EQ(ee[24], 0x88);
}

TEST_F(Station, NoOptionsAtAll) {
    Bytes used(EEPROM_SIZE, 0x5A);
    write_bytes(dir.path("used.eeprom"), used);
    StationRun r = run("device 2 7 eeprom=used.eeprom\n", {});
    EXPECT_EQ(r.result.err, "");
    // No flash image, nothing written back, no IDs: the record is only read and shown.
    EXPECT_EQ(r.out.rfind(".\rWaiting (0 devices) \nReading EEPROM.\n", 0), 0u)
        << r.out.substr(0, 200);
    EXPECT_EQ(r.out.find("Writing"), std::string::npos);
    EXPECT_EQ(r.out.find("Updating"), std::string::npos);
    EXPECT_EQ(r.out.find("next unique ID"), std::string::npos);
    EXPECT_NE(r.out.find("\nStarting device.\n"), std::string::npos);
    expect_idle(r.idle, 1);
    EXPECT_EQ(memory("2-7", "eeprom"), used);
    EXPECT_EQ(memory("2-7", "flash"), Bytes(FLASH_SIZE, 0xFF));
}

TEST_F(Station, OtherDevicesAreIgnored) {
    write_bytes(id, zeroed_id_file());
    StationRun r =
        run("other 1 4 046d c52b\ndevice 1 5\n", {"-f", "fw.hex", "-e", "id.bin", "-I", "10"});
    EXPECT_EQ(r.result.err, "");
    EXPECT_EQ(r.out.rfind("Parsed firmware file: fw.hex : v  414 bytes\n"
                          ".\rWaiting (0 devices) .\nLoading Flash.\n",
                          0),
              0u)
        << r.out.substr(0, 200);
    std::string log = to_text(read_bytes(dir.path("out/1-4.log")));
    EXPECT_EQ(log, ""); // never spoken to
    expect_idle(r.idle, 1);
}

TEST_F(Station, FailingPassIsNotCountedButBookkeepingGoesOn) {
    write_bytes(id, zeroed_id_file());
    StationRun r = run("device 1 1 fault=stuck\nwait\ndevice 1 2\n",
                       {"-f", "fw.hex", "-e", "id.bin", "-I", "10", "-r", "0x8700"});
    size_t abort = r.out.find("Abort ********** \nUpdating id.bin\n\nnext unique ID (0010\n"
                              ".\rWaiting (0 devices) ");
    EXPECT_NE(abort, std::string::npos) << r.out;
    // The next device gets the same hard ID and the next RXaddr.
    EXPECT_NE(r.out.find(" -> Setting Hard ID to: 0x0010\n -> Setting RXaddr to: 0x8701\n"),
              std::string::npos);
    expect_idle(r.idle, 1);
    Bytes failed = memory("1-1", "eeprom");
    EXPECT_EQ(Bytes(failed.begin(), failed.begin() + 80), Bytes(80, 0xFF)); // never written
}

TEST_F(Station, TwoDevicesPluggedTogetherAreProgrammedOneAfterTheOther) {
    write_bytes(id, zeroed_id_file());
    StationRun r = run("device 1 1\ndevice 3 1\n", {"-f", "fw.hex", "-e", "id.bin", "-I", "10"});
    EXPECT_EQ(r.result.err, "");
    size_t first = r.out.find(" -> Setting Hard ID to: 0x0010\n");
    size_t second = r.out.find(" -> Setting Hard ID to: 0x0011\n");
    EXPECT_NE(first, std::string::npos);
    EXPECT_NE(second, std::string::npos);
    EXPECT_LT(first, second);
    EXPECT_EQ(memory("1-1", "eeprom")[24], 0x80);
    EXPECT_EQ(memory("3-1", "eeprom")[24], 0x88);
    expect_idle(r.idle, 2);
}

TEST_F(Station, RxaddrWrapsWithinItsMask) {
    StationRun r = run("device 1 1\nwait\ndevice 1 2\nwait\ndevice 1 3\n", {"-r", "0x8706"});
    EXPECT_EQ(r.result.err, "");
    EXPECT_EQ(memory("1-1", "eeprom")[27], 0x06);
    EXPECT_EQ(memory("1-2", "eeprom")[27], 0x07);
    EXPECT_EQ(memory("1-3", "eeprom")[27], 0x00);
    EXPECT_EQ(memory("1-3", "eeprom")[26], 0x87);
}

TEST_F(Station, FlashFileIsReadAgainForEveryDevice) {
    // The operator replaces the file between the two devices.
    Bytes other = read_bytes(data_path("avr/uart_echo.bin"));
    StationRun r =
        run("device 1 1\nwait\ncopy " + data_path("avr/uart_echo.hex") + " fw.hex\ndevice 1 2\n",
            {"-f", "fw.hex"});
    EXPECT_TRUE(r.result.stopped);
    Bytes first = memory("1-1", "flash");
    Bytes second = memory("1-2", "flash");
    EXPECT_EQ(Bytes(first.begin(), first.begin() + image.size()), image);
    EXPECT_EQ(Bytes(second.begin(), second.begin() + other.size()), other);
}

TEST_F(Station, UnusableFlashFileSkipsTheDevice) {
    write_bytes(id, zeroed_id_file());
    std::string text = hex_record(0, Bytes(16, 0xAA)) + hex_record(16, Bytes(16, 0xBB));
    text[text.size() - 2] ^= 1; // the second record's checksum no longer adds up
    write_text(fw, text);
    StationRun r =
        run("device 1 1\n", {"-f", "fw.hex", "-e", "id.bin", "-I", "10", "-r", "0x8700"});
    EXPECT_EQ(r.result.err,
              "Flash file fw.hex could not be read as a firmware image; no device will be "
              "programmed until it is fixed\n"
              "Flash file fw.hex could not be read as a firmware image; the device on bus 1, "
              "device 1 was not programmed. Fix the file and plug the device in again.\n");
    EXPECT_EQ(r.result.out.rfind(".hex parse error line # 3\n.\rWaiting (0 devices) \nLoading "
                                 "Flash.\n.hex parse error line # 3\n.",
                                 0),
              0u)
        << r.result.out.substr(0, 300);
    EXPECT_EQ(r.result.out.find("Updating"), std::string::npos);
    EXPECT_EQ(to_text(read_bytes(dir.path("out/1-1.log"))), ""); // no pass
    EXPECT_EQ(read_bytes(id), zeroed_id_file());                 // no ID or RXaddr consumed
}

TEST_F(Station, UdevInitFailure) {
    StationRun r = run("udev-fail\n", {});
    EXPECT_EQ(r.result.status, 1);
    EXPECT_EQ(r.result.err, "error: udev init\n");
    EXPECT_EQ(r.result.out, "");
}

// What the operator is told on standard error when the EEPROM image file cannot be kept as
// it should, or the hard IDs run out; the station runs as an unprivileged user, so that
// permissions mean for it what they mean for an operator.
TEST_F(Station, EepromImageFileAndHardIdMessages) {
    const int nobody = 65534;
    chmod(dir.dir.c_str(), 0777);
    mkdir(dir.path("locked").c_str(), 0777);
    write_bytes(dir.path("locked/id.bin"), zeroed_id_file());
    chmod(dir.path("locked/id.bin").c_str(), 0666);
    chmod(dir.path("locked").c_str(), 0555);
    write_bytes(dir.path("ro.bin"), zeroed_id_file());
    chmod(dir.path("ro.bin").c_str(), 0444);
    write_bytes(id, zeroed_id_file());
    chmod(id.c_str(), 0666);
    const std::string lags = ". Until then the file lags behind: restart with -I from the last "
                             "\"next unique ID\" shown, not from the file\n";
    const std::string gone = "Cannot write the EEPROM image file gone/id.bin: No such file or "
                             "directory; make its directory writable for the station (and free "
                             "space there)" +
                             lags;
    const std::string ro = "Cannot write the EEPROM image file ro.bin: Permission denied; make "
                           "the file writable for the station" +
                           lags;
    struct Case {
        std::string file, first_id, err;
        Bytes file_after; // empty: not looked at
    } cases[] = {
        // The reservation before each device and the update after it both fail.
        {"gone/id.bin", "10", gone + gone + gone + gone, {}},
        {"ro.bin", "10", ro + ro + ro + ro, zeroed_id_file()},
        {"locked/id.bin",
         "10",
         "The directory of the EEPROM image file locked/id.bin cannot be written, so the file is "
         "rewritten in place: a crash or power loss while it is written could tear it. Make the "
         "directory writable for the station to have it replaced atomically\n",
         {}},
        {"id.bin",
         "1FFF",
         "hard ID invalid : 0x2000 most be less than 0x1FFF\nAll hard IDs are used up; the device "
         "on bus 1, device 2 was not programmed. Stop the station: no hard ID is left to hand "
         "out. id.bin now holds hard ID 0: a station restarted from it would give devices no "
         "hard ID\n",
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        StationRun r = run("device 1 1\nwait\ndevice 1 2\n",
                           {"-f", "fw.hex", "-e", c.file, "-I", c.first_id}, {}, nobody);
        EXPECT_EQ(r.result.err, c.err);
        if (!c.file_after.empty())
            EXPECT_EQ(read_bytes(dir.path(c.file)), c.file_after);
    }
    // Rewritten in place: hard ID 0x12 next, RXaddr untouched.
    Bytes in_place = zeroed_id_file();
    in_place[24] = 0x90;
    EXPECT_EQ(read_bytes(dir.path("locked/id.bin")), in_place);
}
