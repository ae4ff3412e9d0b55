// The whole station on the simulated bench, started by an unprivileged operator, devices plugged
// in by a scenario: its exact output, device memories afterwards and the EEPROM image file.
#include "process_runner.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

namespace {

const int NOBODY = 65534;

// A station directory anyone may write, so that permissions mean for the station what they
// mean for an operator: fw.hex (blink) and id.bin (40 bytes, hard ID 0x246, soft ID 0x56).
struct Station : testing::Test {
    ScratchDir dir;
    const std::string bin = dir.path("korvofw-sim"); // nobody may not reach the build tree

    void SetUp() override {
        std::filesystem::copy_file(KORVOFW_SIM_BIN, bin);
        ASSERT_EQ(chmod(bin.c_str(), 0755) | chmod(dir.dir.c_str(), 0777), 0);
        reset_files();
    }
    void reset_files() {
        write_bytes(dir.path("fw.hex"), read_bytes(data_path("avr/blink.hex")));
        Bytes id(40, 0);
        id[23] = 0x12, id[24] = 0x34, id[25] = 0x56;
        write_bytes(dir.path("id.bin"), id);
        chmod(dir.path("id.bin").c_str(), 0666);
        chmod(dir.path("fw.hex").c_str(), 0666); // the operator may replace it
        std::filesystem::remove_all(dir.path("out"));
    }
    // Items "<file>@<offset>:<hex bytes>": the bytes the file holds there; a file of out/, the
    // bench's device files, or one named *.bin of the station directory.
    void expect_held(const std::string& items) {
        for (const std::string& item : split(items, ' ')) {
            std::string file = item.substr(0, item.find('@')),
                        want = item.substr(item.find(':') + 1);
            Bytes held = read_bytes(dir.path(has(file, ".bin") ? file : "out/" + file));
            size_t from =
                std::min<size_t>(std::stoul(item.substr(item.find('@') + 1)), held.size());
            EXPECT_EQ(to_hex(Bytes(held.begin() + from, held.end()), want.size() / 2), want)
                << item;
        }
    }

    // Runs the scenario (null: none named) to its end, then stops it; one that hangs is killed.
    ProcessResult run(const char* scenario, const std::string& options, std::string env = "") {
        if (scenario != nullptr)
            write_text(dir.path("run.scenario"), scenario);
        ProcessOptions po;
        po.cwd = dir.dir, po.uid = po.gid = NOBODY, po.timeout_ms = 10000;
        po.env = split(env, ' ');
        po.env.insert(po.env.end(), {std::string("KORVOFW_SIM=") + (scenario ? "run.scenario" : ""),
                                     "KORVOFW_SIM_OUT=out"});
        // Stopped at a waiting line after the end mark: the idle step prints it after marking.
        size_t done_at = std::string::npos;
        po.stop_when = [this, &done_at](const std::string& out) {
            if (done_at == std::string::npos && std::filesystem::exists(dir.path("out/done")))
                done_at = out.size();
            // Whole: the line may reach the pipe in two writes.
            return done_at != std::string::npos &&
                   out.find(" devices) ", out.find("\rWaiting (", done_at)) != std::string::npos;
        };
        std::vector<std::string> argv = split(options, ' ');
        argv.insert(argv.begin(), bin);
        ProcessResult r = run_process(argv, po);
        // Stopped while it waits: with status 0 and a last line that says so.
        const size_t at = r.out.size() - std::min<size_t>(r.out.size(), 10);
        EXPECT_TRUE(!r.stopped || (r.status == 0 && r.out.substr(at) == "\nStopped.\n"));
        r.out.erase(r.stopped ? at : r.out.size());
        return r;
    }
};

// What one erased device shows when it gets hard ID and RXaddr, merged with a zeroed image.
std::string programmed_device(int hard_id, int rxaddr) {
    const std::string ff_row =
        "  FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF   FF\n";
    return "\nLoading Flash.\nWriting firmware... Checking... Passed. \n\nReading EEPROM.\n"
           " Tag:       FFFF\n Version:   " +
           std::string(40, 'F') +
           "\n Hard ID:   0x1FFF\n Soft ID:   0x00FF\n RXaddr:    0xFFFF\n\n" + ff_row + ff_row +
           ff_row + ff_row + ff_row + "\n -> Setting Hard ID to: 0x" + hex(hard_id, 4) +
           "\n -> Setting RXaddr to: 0x" + hex(rxaddr, 4) +
           "\n\nWriting EEPROM.\n Tag:       0000\n Version:   " + std::string(40, '0') +
           "\n Hard ID:   0x" + hex(hard_id, 4) + "\n Soft ID:   0x0000\n RXaddr:    0x" +
           hex(rxaddr, 4) + "\n\nStarting device.\nUpdating zero.bin\n\nnext unique ID (" +
           hex(hard_id + 1, 4) + "\n";
}

// Only dots and the waiting line with this count follow the last line end of the output.
void expect_idle(const std::string& out, int count) {
    const std::string idle = out.substr(out.rfind('\n') + 1); // all of it without a line end
    std::string waiting = "\rWaiting (" + std::to_string(count) + " devices) ", rest = idle;
    for (size_t at; (at = rest.find(waiting)) != std::string::npos;)
        rest.erase(at, waiting.size());
    EXPECT_EQ(rest.find_first_not_of('.'), std::string::npos) << idle.substr(0, 200);
    EXPECT_NE(idle.find(waiting), std::string::npos);
}

} // namespace

TEST_F(Station, ThreeDevicesInARow) {
    write_bytes(dir.path("zero.bin"), Bytes(40, 0));
    chmod(dir.path("zero.bin").c_str(), 0666);
    ProcessResult r = run("device 1 1\nwait\ndevice 1 2\nwait\ndevice 1 3\nwait\n",
                          "-f fw.hex -e zero.bin -I 10 -r 0x8700");
    EXPECT_EQ(r.err, "");
    // Between devices: the new count's waiting line, and a dot for the cycle that took the removal.
    EXPECT_EQ(r.out.substr(0, r.out.rfind('\n') + 1),
              "Parsed firmware file: fw.hex : v  414 bytes\n.\rWaiting (0 devices) " +
                  programmed_device(0x10, 0x8700) + ".\rWaiting (1 devices) ." +
                  programmed_device(0x11, 0x8701) + ".\rWaiting (2 devices) ." +
                  programmed_device(0x12, 0x8702));
    expect_idle(r.out, 3);
    // The image file: next hard ID 0x13, the RXaddr of the last device.
    expect_held("1-1.eeprom@0:" + std::string(46, '0') + "0080008700" + std::string(24, '0') +
                std::string(1968, 'F') + " 1-2.eeprom@22:000088008701 1-3.eeprom@22:000090008702" +
                " 1-3.flash@0:" + to_hex(read_bytes(data_path("avr/blink.bin"))) +
                std::string(2 * (32768 - 414), 'F') + " zero.bin@22:000098008702");
    EXPECT_EQ(read_bytes(dir.path("zero.bin")).size(), 40u);
}

// Whole runs, checked by their output in order, stderr, device and image bytes and last count.
TEST_F(Station, Runs) {
    struct Case {
        const char *scenario, *options;
        std::string printed, held; // texts in this order, split at '|'; see expect_held
        int count;                 // in the last waiting line; -1: not looked at
        std::string err = "";
        int ended = 0; // by us once played out (0), with this exit status, or this signal (< 0)
        const char* env = "";
        const char* absent = "\x01"; // a text it never prints
    };
    mkdir(dir.path("locked").c_str(), 0777);
    write_bytes(dir.path("locked/id.bin"), Bytes(40, 0));
    write_bytes(dir.path("ro.bin"), Bytes(40, 0));
    write_bytes(dir.path("used.eeprom"), Bytes(1024, 0x5A));
    write_bytes(dir.path("echo.hex"), read_bytes(data_path("avr/uart_echo.hex"))); // for nobody
    chmod(dir.path("locked/id.bin").c_str(), 0666);
    chmod(dir.path("locked").c_str(), 0555);
    std::string bad_record = hex_record(0, Bytes(16, 0xAA)) + hex_record(16, Bytes(16, 0xBB));
    bad_record[bad_record.size() - 2] ^= 1; // the second record's checksum no longer adds up
    write_text(dir.path("bad.hex"), bad_record);
    const std::string cannot = "Flash file bad.hex could not be read as a firmware image: line 2: "
                               "the checksum does not add up; ",
                      ro = "Cannot write the EEPROM image file ro.bin: Permission denied; make "
                           "the file writable for the station. The device on bus 1, device ",
                      refused = " was not programmed, and hard ID 0x0010 not given out: the file "
                                "must name the next hard ID before a device gets one. Plug the "
                                "device in again once the file can be written\n",
                      copy = "device 1 1\nwait\ncopy echo.hex fw.hex\ndevice 1 2\n",
                      blink = to_hex(read_bytes(data_path("avr/blink.bin"))),
                      other = to_hex(read_bytes(data_path("avr/uart_echo.bin")));
    const char *two = "device 1 1\nwait\ndevice 1 2\n", *kill = "KORVOFW_SIM_KILL=request:0";
    // 64 KiB and 2 more bytes: the last two with an extended address record before them.
    Bytes big(0x10002, 0x3C);
    big[0x10000] = 0xA1, big[0x10001] = 0xB2;
    write_text(dir.path("big.hex"), hex_file(0, big));
    const Case cases[] = {
        {"device 1 2\n", "-f fw.hex -e id.bin -I 11 -s 1", " -> Setting Hard ID to: 0x0011\n",
         "1-2.eeprom@22:00008801 id.bin@22:00009001", 1},
        // No flash image, nothing written back, no IDs: the record is only read and shown.
        {"device 2 7 eeprom=used.eeprom\n", "", ".\rWaiting (0 devices) \nReading EEPROM.\n",
         "2-7.eeprom@0:5A5A 2-7.eeprom@1022:5A5A 2-7.flash@0:FFFF", 1, "", 0, "", "Writing"},
        // Hard and soft ID 0 are none: the record keeps the image's bytes 23-25, as does the file.
        {two, "-e id.bin -I 0 -s 0", "Updating id.bin\n\n.\rWaiting (1 devices) .",
         "1-2.eeprom@22:00123456 id.bin@22:00123456", 2, "", 0, "", "next unique ID"},
        // The file names the hard ID a failed pass leaves for the next device.
        {"device 1 1 fault=stuck\n", "-f fw.hex -e id.bin -I 1", "next unique ID (0001\n",
         "id.bin@22:000008", 0},
        {"other 1 4 046d c52b\ndevice 1 5\n", "-f fw.hex -e id.bin -I 10",
         "Parsed firmware file: fw.hex : v  414 bytes\n.\rWaiting (0 devices) .\nLoading Flash.\n",
         "", 1},
        // Not counted, but the next device gets the same hard ID and the next RXaddr.
        {"device 1 1 fault=stuck\nwait\ndevice 1 2\n", "-f fw.hex -e id.bin -I 10 -r 0x8700",
         "Abort ********** \nUpdating id.bin\n\nnext unique ID (0010\n.\rWaiting (0 devices) |"
         " -> Setting Hard ID to: 0x0010\n -> Setting RXaddr to: 0x8701\n",
         "1-1.eeprom@0:" + std::string(160, 'F') + " 1-2.eeprom@23:0080", 1},
        {"device 1 1\ndevice 3 1\n", "-f fw.hex -e id.bin -I 10",
         " -> Setting Hard ID to: 0x0010\n| -> Setting Hard ID to: 0x0011\n",
         "1-1.eeprom@23:0080 3-1.eeprom@23:0088", 2},
        // Bound to a port: its devices only, past the round's other events (no device, other port).
        {"device 1 1 port=1-1.3 fault=noattr\ndevice 1 3 port=1-1.5\ndevice 1 2 port=1-1.4\n",
         "-f fw.hex -e id.bin -I 10 --port 1-1.4", "Waiting (0 devices) \nLoading Flash.\n",
         "1-1.eeprom@0:FFFF 1-2.eeprom@23:0080", 1, "", 0, "", "Setting Hard ID to: 0x0011"},
        // A device another program holds is left alone, its hard ID kept for the next one.
        {"device 1 1 fault=busy\nwait\ndevice 1 2\n", "-f fw.hex -e id.bin -I 10",
         "next unique ID (0010\n| -> Setting Hard ID to: 0x0010\n",
         "1-1.eeprom@0:FFFF 1-2.eeprom@23:0080 id.bin@23:0088", 1,
         "Device in use: bus 1, device 1 is held by another program; it was not programmed. Stop "
         "the other program, or give each station its own --port, and plug the device in again\n",
         0, "", "Writing firmware... Writing firmware... "},
        // The flash file is read again for each device: the operator replaced it in between.
        {copy.c_str(), "-f fw.hex", "", "1-1.flash@0:" + blink + " 1-2.flash@0:" + other, 2},
        // An unusable flash file skips the device: no pass, no ID or RXaddr used up.
        {"device 1 1\n", "-f bad.hex -e id.bin -I 10 -r 0x8700",
         ".hex parse error line # 2\n.\rWaiting (0 devices) \nLoading Flash.\n.hex parse "
         "error line # 2\n",
         "id.bin@22:00123456000000", 0,
         cannot + "no device will be programmed until it is fixed\n" + cannot +
             "the device on bus 1, device 1 was not programmed. Fix the file and plug the "
             "device in again.\n",
         0, "", "Writing"},
        // A file that cannot name the next hard ID first: no device is programmed.
        {two, "-f fw.hex -e gone/id.bin -I 10", "", "", -1,
         "EEPROM image file gone/id.bin: its directory gone does not exist; create the "
         "directory, or give a file in one that exists\n",
         255},
        {two, "-f fw.hex -e ro.bin -I 10 -r 0x8700", "", "ro.bin@22:000000 1-2.eeprom@0:FFFF", 0,
         ro + "1" + refused + ro + "2" + refused, 0, "", "Writing"},
        {two, "-f fw.hex -e locked/id.bin -I 10", "", "locked/id.bin@22:000090", 2,
         "The directory of the EEPROM image file locked/id.bin cannot be written, so the file is "
         "rewritten in place: a crash or power loss while it is written could tear it. Make the "
         "directory writable for the station to have it replaced atomically\n"},
        // Killed at the first request: id.bin already names the next hard ID; with ID 0, untouched.
        {"device 1 1\n", "-f fw.hex -e id.bin -I 10", "", "id.bin@23:0088", -1, "", -9, kill},
        {"device 1 1\n", "-e id.bin -I 0", "", "id.bin@23:1234", -1, "", -9, kill},
        // The same for a new file, made of 32 blank bytes.
        {"device 1 1\n", "-f fw.hex -e new.bin -I 10", "",
         "new.bin@0:" + std::string(46, 'F') + "0088" + std::string(14, 'F'), -1, "", -9, kill},
        // A stop in a pass: device and file finished, exit 0; a second, or one when idle: at once.
        {"device 1 1 fault=sigint@40\n", "-f fw.hex -e id.bin -I 10 -r 0x8700",
         "Starting device.\nUpdating id.bin\n\nnext unique ID (0011\n\nStopped.\n",
         "1-1.flash@0:" + blink + " 1-1.eeprom@22:000080568700 id.bin@22:000088568700", -1},
        {"device 1 1 fault=sigterm@3 fault=sigint@40\n", "-f fw.hex -e id.bin -I 10",
         "Writing firmware... ", "1-1.eeprom@0:FFFF id.bin@23:0088", -1, "", -SIGINT, "",
         "Stopped."},
        {"device 1 1\nsigterm\ndevice 1 2\n", "-f fw.hex -e id.bin -I 10",
         "next unique ID (0011\n.\rWaiting (1 devices) \nStopped.\n", "id.bin@23:0088", -1, "", 0,
         "", "Setting Hard ID to: 0x0011"},
        // Other parts: a megaAVR erased first, its bootloader's product ID only; an XMEGA with
        // 128 KiB programmed above 64 KiB; an erase leaves the rest of the flash blank.
        {"device 1 1\nwait\ndevice 1 2 part=atmega32u4\n",
         "--part atmega32u4 -f fw.hex -e id.bin -I 10",
         "Erasing chip... done in |Writing firmware... Checking... Passed. | -> Setting Hard ID "
         "to: 0x0010\n",
         "1-2.flash@0:" + blink + std::string(2 * (0x7000 - 414), 'F') +
             " 1-2.eeprom@23:0080 1-1.eeprom@0:FFFF",
         1},
        {"device 1 1 part=atxmega128a4u\n", "--part atxmega128a4u -f big.hex", "",
         "1-1.flash@0:3C3C 1-1.flash@65534:3C3CA1B2" + std::string(2 * 1022, 'F'), 1},
        {"device 1 1 flash=used.eeprom\n", "--erase -f fw.hex", "Erasing chip... done in ",
         "1-1.flash@0:" + blink + std::string(2 * (32768 - 414), 'F'), 1},
        {"udev-fail\n", "", "", "", -1, "error: udev init\n", 1},
        {"device 1 5\nwait\ndevice 1 5 fault=melt\n", "", "", "", -1,
         "korvofw-sim: run.scenario:3: unknown fault 'melt'\n", 2},
        {nullptr, "", "", "", -1,
         "korvofw-sim: KORVOFW_SIM is not set; it names the scenario file\n", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario ? c.scenario : "no scenario");
        reset_files();
        ProcessResult r = run(c.scenario, c.options, c.env);
        EXPECT_EQ(r.err, c.err);
        size_t at = 0;
        for (const std::string& text : split(c.printed, '|')) {
            at = r.out.find(text, at);
            EXPECT_NE(at, std::string::npos) << text << "\nin\n" << r.out.substr(0, 2000);
        }
        EXPECT_EQ(r.out.find(c.absent), std::string::npos);
        expect_held(c.held);
        if (c.count >= 0)
            expect_idle(r.out, c.count);
        EXPECT_EQ(r.out, c.ended > 0 ? "" : r.out);
        EXPECT_EQ(r.stopped ? 0 : c.ended < 0 ? -r.signal : r.status, c.ended);
    }
}

// --after: each programmed device's test, with its identity in the environment. Device 1 passes,
// 2 exits 3, 3 is killed with its group, 4 outlives its limit, 5 prints too many and too long
// lines: the failed ones keep their hard IDs uncounted, the command's output reaches the operator
// marked.
TEST_F(Station, TestsEachProgrammedDevice) {
    write_text(dir.path("test.sh"),
               "echo \"hello $KORVOFW_HARD_ID\"; echo current_ma=41.5; echo \"warn\" >&2\n"
               "env | grep ^KORVOFW_ | sort > env$KORVOFW_DEVICE.txt\n"
               "case $KORVOFW_DEVICE in 2) exit 3;; 3) kill -9 0;;\n"
               "4) echo $$ > group.txt; sleep 1000 & echo $! > left.txt; exec sleep 1000;;\n"
               "5) i=0; while [ $i -lt 66 ]; do echo k$i=$i; i=$((i+1)); done\n"
               "   printf 'long=%0600d\\n' 0; printf '%0600d' 0;; esac\n");
    chmod(dir.path("test.sh").c_str(), 0755);
    ProcessResult r = run("device 1 1\nwait\ndevice 1 2\nwait\ndevice 1 3\nwait\ndevice 1 4\nwait\n"
                          "device 1 5\nwait\n",
                          "-f fw.hex -e id.bin -I 10 -r 0x8700 --station bench1 --after ./test.sh "
                          "--after-timeout 1");
    std::string failed;
    const char* status[] = {"exit status 3", "signal 9", "time limit of 1 s"};
    for (int device = 2; device <= 4; ++device)
        failed += "after: warn\nTest failed (" + std::string(status[device - 2]) +
                  "): the device on bus 1, device " + std::to_string(device) + " (port 1-" +
                  std::to_string(device) + ") carries hard ID 0x001" + std::to_string(device - 1) +
                  " and keeps it; it is not counted. Set it aside\n";
    EXPECT_EQ(r.err, "after: warn\n" + failed +
                         "after: warn\nThe test printed 3 result lines more than the 64 kept; they "
                         "were dropped\nThe test printed 1 result lines longer than 512 bytes; "
                         "they were dropped\n");
    size_t at = 0;
    for (int device = 1; device <= 5; ++device) {
        const std::string seen = "next unique ID (001" + std::to_string(device) +
                                 "\n\nTesting the device.\nafter: hello 0x001" +
                                 std::to_string(device - 1) + "\n";
        at = r.out.find(seen, at);
        EXPECT_NE(at, std::string::npos) << seen;
    }
    EXPECT_TRUE(has(r.out, "\nafter: " + std::string(512, '0') +
                               " [88 more bytes not shown]\nTest passed.\n"));
    size_t passed = 0; // devices 1 and 5
    for (size_t p = r.out.find("Test passed.\n"); p != std::string::npos;
         p = r.out.find("Test passed.\n", p + 1))
        ++passed;
    EXPECT_EQ(passed, 2u);
    expect_idle(r.out, 2);
    // Every hard ID on its device and used up: the file names the next one.
    expect_held("1-2.eeprom@23:0088 1-4.eeprom@23:0098 1-5.eeprom@23:00A0 id.bin@23:00A8");
    EXPECT_EQ(to_text(read_bytes(dir.path("env2.txt"))),
              "KORVOFW_BUS=1\nKORVOFW_DEVICE=2\nKORVOFW_HARD_ID=0x0011\nKORVOFW_IMAGE_SHA256="
              "38e0363297fac803ccccf921afd521aa81afceaa2bb1417a0eba6ecae2cb9863\nKORVOFW_POOL="
              "default\nKORVOFW_PORT=1-2\nKORVOFW_RXADDR=0x8701\nKORVOFW_SIM=run.scenario\n"
              "KORVOFW_SIM_OUT=out\nKORVOFW_SOFT_ID=0x0056\nKORVOFW_STATION=bench1\n");
    // The timed-out command's group is gone, what it left in the background too (a process
    // killed may take a moment to be reaped by init: looked for until then).
    for (const char* file : {"group.txt", "left.txt"}) {
        const std::string proc = "/proc/" + split(to_text(read_bytes(dir.path(file))), '\n')[0];
        bool gone = false;
        for (int look = 0; look < 500 && !gone; ++look) {
            std::ifstream in(proc + "/stat");
            std::string stat((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
            gone = stat.empty() || stat.find(") Z ") != std::string::npos;
            if (!gone)
                usleep(10000);
        }
        EXPECT_TRUE(gone) << file;
    }
}
