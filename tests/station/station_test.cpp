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

const size_t FLASH_SIZE = 32768, EEPROM_SIZE = 1024;
const int NOBODY = 65534;

struct StationRun {
    ProcessResult result;
    std::string out;  // stdout up to the last line end
    std::string idle; // what followed: only progress dots and waiting lines
};

struct Station : testing::Test {
    ScratchDir dir;
    std::string id = dir.path("id.bin");
    Bytes image = read_bytes(data_path("avr/blink.bin"));

    // Runs the scenario to its end and stops the station, as the harness does; null: none
    // is named. A station that hangs is killed within seconds.
    StationRun run(const char* scenario, std::vector<std::string> options,
                   std::vector<std::string> env = {}, int uid = -1) {
        std::filesystem::remove_all(dir.path("out"));
        if (scenario != nullptr)
            write_text(dir.path("run.scenario"), scenario);
        ProcessOptions po;
        po.cwd = dir.dir;
        po.uid = po.gid = uid;
        po.timeout_ms = 10000;
        po.env = {std::string("KORVOFW_SIM=") + (scenario ? "run.scenario" : ""),
                  "KORVOFW_SIM_OUT=out"};
        po.env.insert(po.env.end(), env.begin(), env.end());
        // Stopped once a waiting line follows the end of the scenario: the idle step that
        // marks the end prints it only after marking.
        size_t done_at = std::string::npos;
        po.stop_when = [this, &done_at](const std::string& out) {
            if (done_at == std::string::npos && std::filesystem::exists(dir.path("out/done")))
                done_at = out.size();
            return done_at != std::string::npos &&
                   out.find("\rWaiting (", done_at) != std::string::npos;
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
        // Idle progress (dots, waiting lines) has no line end: it follows the last one.
        const std::string& out = run.result.out;
        size_t end = out.rfind('\n') == std::string::npos ? 0 : out.rfind('\n') + 1;
        run.out = out.substr(0, end);
        run.idle = out.substr(end);
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

// What one erased device shows when it gets hard ID and RXaddr, merged with a zeroed image.
std::string programmed_device(int hard_id, int rxaddr) {
    std::string erased_row, zero_id = "\n Soft ID:   0x0000\n RXaddr:    0x";
    for (int i = 0; i < 16; ++i)
        erased_row += std::string(i ? " " : "") + "  FF";
    return "\nLoading Flash.\nWriting firmware... Checking... Passed. \n\nReading EEPROM.\n"
           " Tag:       FFFF\n Version:   " +
           std::string(40, 'F') +
           "\n Hard ID:   0x1FFF\n Soft ID:   0x00FF\n RXaddr:    0xFFFF\n\n" + erased_row + "\n" +
           erased_row + "\n" + erased_row + "\n" + erased_row + "\n" + erased_row +
           "\n\n -> Setting Hard ID to: 0x" + hex4(hard_id) + "\n -> Setting RXaddr to: 0x" +
           hex4(rxaddr) +
           "\n\nWriting EEPROM.\n Tag:       0000\n Version:   " + std::string(40, '0') +
           "\n Hard ID:   0x" + hex4(hard_id) + zero_id + hex4(rxaddr) +
           "\n\nStarting device.\nUpdating id.bin\n\nnext unique ID (" + hex4(hard_id + 1) + "\n";
}

// Only dots and the waiting line with this count follow the last device.
void expect_idle(const std::string& idle, int count) {
    std::string waiting = "\rWaiting (" + std::to_string(count) + " devices) ", rest = idle;
    for (size_t at; (at = rest.find(waiting)) != std::string::npos;)
        rest.erase(at, waiting.size());
    EXPECT_EQ(rest.find_first_not_of('.'), std::string::npos) << idle.substr(0, 200);
    EXPECT_NE(idle.find(waiting), std::string::npos);
}

} // namespace

TEST_F(Station, ThreeDevicesInARow) {
    write_bytes(dir.path("fw.hex"), read_bytes(data_path("avr/blink.hex")));
    write_bytes(id, Bytes(40, 0));
    StationRun r = run("device 1 1\nwait\ndevice 1 2\nwait\ndevice 1 3\nwait\n",
                       {"-f", "fw.hex", "-e", "id.bin", "-I", "10", "-r", "0x8700"});
    EXPECT_EQ(r.result.err, "");
    // Between devices: the waiting line with the new count, and a dot for the cycle that
    // took the departed device's removal.
    EXPECT_EQ(r.out, "Parsed firmware file: fw.hex : v  414 bytes\n.\rWaiting (0 devices) " +
                         programmed_device(0x10, 0x8700) + ".\rWaiting (1 devices) ." +
                         programmed_device(0x11, 0x8701) + ".\rWaiting (2 devices) ." +
                         programmed_device(0x12, 0x8702));
    expect_idle(r.idle, 3);
    for (int n = 1; n <= 3; ++n) {
        SCOPED_TRACE(n);
        Bytes flash = image;
        flash.resize(FLASH_SIZE, 0xFF);
        EXPECT_EQ(memory("1-" + std::to_string(n), "flash"), flash);
        Bytes ee(EEPROM_SIZE, 0xFF);
        std::fill(ee.begin(), ee.begin() + 40, 0);
        int hard_id = 0x0F + n;
        ee[23] = static_cast<unsigned char>(hard_id >> 5);
        ee[24] = static_cast<unsigned char>(hard_id << 3);
        ee[26] = 0x87, ee[27] = static_cast<unsigned char>(n - 1);
        EXPECT_EQ(memory("1-" + std::to_string(n), "eeprom"), ee);
    }
    // The image file: next hard ID 0x13, the RXaddr of the last device.
    Bytes expected(40, 0);
    expected[24] = 0x98, expected[26] = 0x87, expected[27] = 0x02;
    EXPECT_EQ(read_bytes(id), expected);
}

// Whole runs, each checked by what it printed, in order, its standard error, the bytes its
// devices and the image file hold and the count it ends with.
TEST_F(Station, Runs) {
    struct Byte {
        const char* file; // "<bus>-<devnum>.<memory>", or "id.bin"
        size_t at;
        int value;
    };
    struct Case {
        const char* scenario;
        std::vector<std::string> options;
        std::vector<std::string> printed; // in this order
        std::vector<Byte> bytes;
        int count; // -1: not looked at
        std::string err = "";
        const char* absent = "\x01"; // text it never prints
        std::vector<std::string> env = {};
        int ended = 0; // by us once played out (0), with this exit status, or this signal (< 0)
    };
    const std::vector<std::string> kill = {"KORVOFW_SIM_KILL=request:0"};
    const std::vector<std::string> with_ids = {"-f", "fw.hex", "-e", "id.bin", "-I", "10"};
    const Bytes other = read_bytes(data_path("avr/uart_echo.bin"));
    write_bytes(dir.path("used.eeprom"), Bytes(EEPROM_SIZE, 0x5A));
    std::string bad_record = hex_record(0, Bytes(16, 0xAA)) + hex_record(16, Bytes(16, 0xBB));
    bad_record[bad_record.size() - 2] ^= 1; // the second record's checksum no longer adds up
    write_text(dir.path("bad.hex"), bad_record);
    const std::string cannot = "Flash file bad.hex could not be read as a firmware image; ";
    const std::string copy =
        "device 1 1\nwait\ncopy " + data_path("avr/uart_echo.hex") + " fw.hex\ndevice 1 2\n";
    const Case cases[] = {
        {"device 1 2\n",
         {"-f", "fw.hex", "-e", "id.bin", "-I", "11"},
         {" -> Setting Hard ID to: 0x0011\n"},
         {{"1-2.eeprom", 23, 0x00}, {"1-2.eeprom", 24, 0x88}, {"id.bin", 24, 0x90}},
         1},
        // No flash image, nothing written back, no IDs: the record is only read and shown.
        {"device 2 7 eeprom=used.eeprom\n",
         {},
         {".\rWaiting (0 devices) \nReading EEPROM.\n", "\nStarting device.\n"},
         {{"2-7.eeprom", 0, 0x5A}, {"2-7.eeprom", 1023, 0x5A}, {"2-7.flash", 0, 0xFF}},
         1},
        // Hard ID 0 is none: the record keeps the image's bytes 23-24, and so does the file.
        {"device 1 1\nwait\ndevice 1 2\n",
         {"-e", "id.bin", "-I", "0"},
         {"Updating id.bin\n\n.\rWaiting (1 devices) ."},
         {{"1-2.eeprom", 23, 0x12}, {"1-2.eeprom", 24, 0x34}, {"id.bin", 24, 0x34}},
         2,
         "",
         "next unique ID"},
        {"other 1 4 046d c52b\ndevice 1 5\n",
         with_ids,
         {"Parsed firmware file: fw.hex : v  414 bytes\n.\rWaiting (0 devices) .\nLoading "
          "Flash.\n"},
         {},
         1},
        // Not counted, but the next device gets the same hard ID and the next RXaddr.
        {"device 1 1 fault=stuck\nwait\ndevice 1 2\n",
         {"-f", "fw.hex", "-e", "id.bin", "-I", "10", "-r", "0x8700"},
         {"Abort ********** \nUpdating id.bin\n\nnext unique ID (0010\n.\rWaiting (0 devices) ",
          " -> Setting Hard ID to: 0x0010\n -> Setting RXaddr to: 0x8701\n"},
         {{"1-1.eeprom", 23, 0xFF}, {"1-1.eeprom", 79, 0xFF}, {"1-2.eeprom", 24, 0x80}},
         1},
        {"device 1 1\ndevice 3 1\n",
         with_ids,
         {" -> Setting Hard ID to: 0x0010\n", " -> Setting Hard ID to: 0x0011\n"},
         {{"1-1.eeprom", 24, 0x80}, {"3-1.eeprom", 24, 0x88}},
         2},
        {"device 1 1\nwait\ndevice 1 2\nwait\ndevice 1 3\n", // RXaddr wraps within its mask
         {"-r", "0x8706"},
         {},
         {{"1-1.eeprom", 27, 0x06},
          {"1-2.eeprom", 27, 0x07},
          {"1-3.eeprom", 26, 0x87},
          {"1-3.eeprom", 27, 0x00}},
         3},
        // The flash file is read again for each device: the operator replaced it in between.
        {copy.c_str(),
         {"-f", "fw.hex"},
         {},
         {{"1-1.flash", 0, image[0]},
          {"1-1.flash", 413, image[413]},
          {"1-2.flash", 0, other[0]},
          {"1-2.flash", other.size() - 1, other.back()}},
         2},
        // An unusable flash file skips the device: no pass, no ID or RXaddr used up.
        {"device 1 1\n",
         {"-f", "bad.hex", "-e", "id.bin", "-I", "10", "-r", "0x8700"},
         {".hex parse error line # 3\n.\rWaiting (0 devices) \nLoading Flash.\n.hex parse error "
          "line # 3\n"},
         {{"1-1.log", 0, -1}, {"id.bin", 24, 0x34}, {"id.bin", 27, 0}},
         0,
         cannot + "no device will be programmed until it is fixed\n" + cannot +
             "the device on bus 1, device 1 was not programmed. Fix the file and plug the device "
             "in again.\n",
         "Updating"},
        // Killed at the pass's first request: the file already names the next hard ID, and
        // with hard ID 0 (none) it was left alone.
        {"device 1 1\n",
         with_ids,
         {},
         {{"id.bin", 23, 0x00}, {"id.bin", 24, 0x88}},
         -1,
         "",
         "\x01",
         kill,
         -9},
        {"device 1 1\n",
         {"-e", "id.bin", "-I", "0"},
         {},
         {{"id.bin", 24, 0x34}},
         -1,
         "",
         "\x01",
         kill,
         -9},
        {"udev-fail\n", {}, {}, {}, -1, "error: udev init\n", "\x01", {}, 1},
        {"device 1 5\nwait\ndevice 1 5 fault=melt\n",
         {},
         {},
         {},
         -1,
         "korvofw-sim: run.scenario:3: unknown fault 'melt'\n",
         "\x01",
         {},
         2},
        {nullptr,
         {},
         {},
         {},
         -1,
         "korvofw-sim: KORVOFW_SIM is not set; it names the scenario file\n",
         "\x01",
         {},
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario ? c.scenario : "no scenario");
        write_bytes(dir.path("fw.hex"), read_bytes(data_path("avr/blink.hex")));
        Bytes id_image(40, 0);
        id_image[23] = 0x12, id_image[24] = 0x34;
        write_bytes(id, id_image);
        StationRun r = run(c.scenario, c.options, c.env);
        EXPECT_EQ(r.result.err, c.err);
        size_t at = 0;
        for (const std::string& text : c.printed) {
            at = r.result.out.find(text, at);
            EXPECT_NE(at, std::string::npos) << text << "\nin\n" << r.out.substr(0, 2000);
        }
        EXPECT_EQ(r.result.out.find(c.absent), std::string::npos);
        for (const Byte& b : c.bytes) {
            Bytes held = read_bytes(dir.path(b.file[0] == 'i' ? "" : "out/") + b.file);
            EXPECT_EQ(held.size() > b.at ? held[b.at] : -1, b.value) << b.file << " byte " << b.at;
        }
        if (c.count >= 0)
            expect_idle(r.idle, c.count);
        if (c.ended > 0) {
            EXPECT_EQ(std::tie(r.result.status, r.result.out), std::make_tuple(c.ended, ""));
        }
        EXPECT_EQ(r.result.stopped ? 0 : c.ended < 0 ? -r.result.signal : r.result.status, c.ended);
    }
}

// What the operator is told on standard error when the EEPROM image file cannot be kept as
// it should, or the hard IDs run out; the station runs as an unprivileged user, so that
// permissions mean for it what they mean for an operator.
TEST_F(Station, EepromImageFileAndHardIdMessages) {
    write_bytes(dir.path("fw.hex"), read_bytes(data_path("avr/blink.hex")));
    chmod(dir.dir.c_str(), 0777);
    mkdir(dir.path("locked").c_str(), 0777);
    for (const char* file : {"locked/id.bin", "ro.bin", "id.bin"}) {
        write_bytes(dir.path(file), Bytes(40, 0));
        chmod(dir.path(file).c_str(), file[0] == 'r' ? 0444 : 0666);
    }
    chmod(dir.path("locked").c_str(), 0555);
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
    } cases[] = {
        // The reservation before each device and the update after it both fail.
        {"gone/id.bin", "10", gone + gone + gone + gone},
        {"ro.bin", "10", ro + ro + ro + ro},
        {"locked/id.bin", "10",
         "The directory of the EEPROM image file locked/id.bin cannot be written, so the file is "
         "rewritten in place: a crash or power loss while it is written could tear it. Make the "
         "directory writable for the station to have it replaced atomically\n"},
        {"id.bin", "1FFF",
         "hard ID invalid : 0x2000 most be less than 0x1FFF\nAll hard IDs are used up; the device "
         "on bus 1, device 2 was not programmed. Stop the station: no hard ID is left to hand "
         "out. id.bin now holds hard ID 0: a station restarted from it would give devices no "
         "hard ID\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        StationRun r = run("device 1 1\nwait\ndevice 1 2\n",
                           {"-f", "fw.hex", "-e", c.file, "-I", c.first_id}, {}, NOBODY);
        EXPECT_EQ(r.result.err, c.err);
    }
    EXPECT_EQ(read_bytes(dir.path("ro.bin")), Bytes(40, 0));
    // Rewritten in place: hard ID 0x12 next, RXaddr untouched.
    Bytes in_place(40, 0);
    in_place[24] = 0x90;
    EXPECT_EQ(read_bytes(dir.path("locked/id.bin")), in_place);
}
