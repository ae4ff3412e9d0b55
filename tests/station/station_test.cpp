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
    std::string fw_path = dir.path("fw.hex");
    std::string id = dir.path("id.bin");
    Bytes image = read_bytes(data_path("avr/blink.bin"));

    void SetUp() override { write_bytes(fw_path, read_bytes(data_path("avr/blink.hex"))); }

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
        // Stopped once a waiting line follows the end of the scenario: the idle step that
        // marks the end prints it only after marking.
        size_t done_seen_at = std::string::npos;
        po.stop_when = [done, &done_seen_at](const std::string& out) {
            if (done_seen_at == std::string::npos && std::filesystem::exists(done))
                done_seen_at = out.size();
            return done_seen_at != std::string::npos &&
                   out.find("\rWaiting (", done_seen_at) != std::string::npos;
        };
        std::string bin = KORVOFW_SIM_BIN;
        if (uid >= 0) { // another user may not reach the build tree
            bin = dir.path("korvofw-sim");
            std::filesystem::copy_file(KORVOFW_SIM_BIN, bin,
                                       std::filesystem::copy_options::overwrite_existing);
            chmod(bin.c_str(), 0755);
        }
        options.insert(options.begin(), bin);
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

// Whole runs, each checked by what it printed, in order, the bytes its devices hold and the
// count it ends with.
TEST_F(Station, Runs) {
    struct Byte {
        const char* file; // "<bus>-<devnum>.<memory>", or "id.bin"
        size_t at;
        int value;
    };
    struct Case {
        const char* name;
        std::string scenario;
        std::vector<std::string> options;
        std::vector<std::string> printed; // in this order
        std::vector<Byte> bytes;
        int count;
    };
    const std::vector<std::string> with_ids = {"-f", "fw.hex", "-e", "id.bin", "-I", "10"};
    const std::string fw = data_path("avr/uart_echo.hex");
    const Bytes other = read_bytes(data_path("avr/uart_echo.bin"));
    write_bytes(dir.path("used.eeprom"), Bytes(EEPROM_SIZE, 0x5A));
    const Case cases[] = {
        {"restart from the image file",
         "device 1 2\n",
         {"-f", "fw.hex", "-e", "id.bin", "-I", "11"},
         {" -> Setting Hard ID to: 0x0011\n"},
         {{"1-2.eeprom", 23, 0x00}, {"1-2.eeprom", 24, 0x88}, {"id.bin", 24, 0x90}},
         1},
        // No flash image, nothing written back, no IDs: the record is only read and shown.
        {"no options",
         "device 2 7 eeprom=used.eeprom\n",
         {},
         {".\rWaiting (0 devices) \nReading EEPROM.\n", "\nStarting device.\n"},
         {{"2-7.eeprom", 0, 0x5A}, {"2-7.eeprom", 1023, 0x5A}, {"2-7.flash", 0, 0xFF}},
         1},
        {"another device is ignored",
         "other 1 4 046d c52b\ndevice 1 5\n",
         with_ids,
         {"Parsed firmware file: fw.hex : v  414 bytes\n.\rWaiting (0 devices) .\nLoading "
          "Flash.\n"},
         {},
         1},
        // Not counted, but the next device gets the same hard ID and the next RXaddr.
        {"a failing pass",
         "device 1 1 fault=stuck\nwait\ndevice 1 2\n",
         {"-f", "fw.hex", "-e", "id.bin", "-I", "10", "-r", "0x8700"},
         {"Abort ********** \nUpdating id.bin\n\nnext unique ID (0010\n.\rWaiting (0 devices) ",
          " -> Setting Hard ID to: 0x0010\n -> Setting RXaddr to: 0x8701\n"},
         {{"1-1.eeprom", 23, 0xFF}, {"1-1.eeprom", 79, 0xFF}, {"1-2.eeprom", 24, 0x80}},
         1},
        {"two devices plugged together",
         "device 1 1\ndevice 3 1\n",
         with_ids,
         {" -> Setting Hard ID to: 0x0010\n", " -> Setting Hard ID to: 0x0011\n"},
         {{"1-1.eeprom", 24, 0x80}, {"3-1.eeprom", 24, 0x88}},
         2},
        {"RXaddr wraps within its mask",
         "device 1 1\nwait\ndevice 1 2\nwait\ndevice 1 3\n",
         {"-r", "0x8706"},
         {},
         {{"1-1.eeprom", 27, 0x06},
          {"1-2.eeprom", 27, 0x07},
          {"1-3.eeprom", 26, 0x87},
          {"1-3.eeprom", 27, 0x00}},
         3},
        // The operator replaces the file between the two devices.
        {"the flash file is read again",
         "device 1 1\nwait\ncopy " + fw + " fw.hex\ndevice 1 2\n",
         {"-f", "fw.hex"},
         {},
         {{"1-1.flash", 0, image[0]},
          {"1-1.flash", 413, image[413]},
          {"1-2.flash", 0, other[0]},
          {"1-2.flash", other.size() - 1, other.back()}},
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(dir.path("out"));
        write_bytes(fw_path, read_bytes(data_path("avr/blink.hex")));
        write_bytes(id, zeroed_id_file());
        StationRun r = run(c.scenario, c.options);
        EXPECT_EQ(r.result.err, "");
        size_t at = 0;
        for (const std::string& text : c.printed) {
            at = r.out.find(text, at);
            EXPECT_NE(at, std::string::npos) << text << "\nin\n" << r.out.substr(0, 2000);
        }
        for (const Byte& b : c.bytes) {
            Bytes held =
                read_bytes(std::string(b.file) == "id.bin" ? id : dir.path("out/") + b.file);
            ASSERT_GT(held.size(), b.at) << b.file;
            EXPECT_EQ(held[b.at], b.value) << b.file << " byte " << b.at;
        }
        expect_idle(r.idle, c.count);
    }
}

TEST_F(Station, UnusableFlashFileSkipsTheDevice) {
    write_bytes(id, zeroed_id_file());
    std::string text = hex_record(0, Bytes(16, 0xAA)) + hex_record(16, Bytes(16, 0xBB));
    text[text.size() - 2] ^= 1; // the second record's checksum no longer adds up
    write_text(fw_path, text);
    StationRun r =
        run("device 1 1\n", {"-f", "fw.hex", "-e", "id.bin", "-I", "10", "-r", "0x8700"});
    EXPECT_EQ(r.result.err,
              "Flash file fw.hex could not be read as a firmware image; no device will be "
              "programmed until it is fixed\n"
              "Flash file fw.hex could not be read as a firmware image; the device on bus 1, "
              "device 1 was not programmed. Fix the file and plug the device in again.\n");
    // The run is stopped at the idle step after the device: its dot may not be out yet.
    EXPECT_EQ(r.result.out.rfind(".hex parse error line # 3\n.\rWaiting (0 devices) \nLoading "
                                 "Flash.\n.hex parse error line # 3\n",
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
        if (!c.file_after.empty()) {
            EXPECT_EQ(read_bytes(dir.path(c.file)), c.file_after);
        }
    }
    // Rewritten in place: hard ID 0x12 next, RXaddr untouched.
    Bytes in_place = zeroed_id_file();
    in_place[24] = 0x90;
    EXPECT_EQ(read_bytes(dir.path("locked/id.bin")), in_place);
}
