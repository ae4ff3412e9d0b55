// Scenario files: how they are read, how the driver plays them on the bench,
// and the korvofw-sim executable that plays them under the real program.
#include "process_runner.h"
#include "scenario_driver.h"
#include "test_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <libudev.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <usb.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

namespace {

constexpr char kName[] = "line.scenario";
constexpr std::size_t kFlashBytes = 32768;
constexpr std::size_t kEepromBytes = 1024;
constexpr unsigned char kErased = 0xFF;

sim::Scenario parse(const std::string& text, const std::string& base_dir = "") {
    std::istringstream stream(text);
    return sim::parse_scenario(stream, kName, base_dir);
}

std::string parse_error(const std::string& text, const std::string& base_dir = "") {
    try {
        parse(text, base_dir);
    } catch (const sim::ScenarioError& error) {
        return error.what();
    }
    return "(no error)";
}

bool exists(const std::string& path) {
    return std::filesystem::exists(path);
}

// ---- reading scenarios

TEST(ScenarioParse, LinesMakeBatchesOfDevices) {
    const sim::Scenario scenario = parse("# two at once, then a third\n"
                                         "\n"
                                         "device 1 5   # the first\n"
                                         "other 2 127 46d C52b\n"
                                         "wait\n"
                                         "wait\n"
                                         "  device 999 1 fault=stall@3 fault=noopen fault=gone\n"
                                         "wait\n");
    EXPECT_FALSE(scenario.udev_new_fails);
    ASSERT_EQ(scenario.batches.size(), 2u);
    const sim::Batch& first = scenario.batches[0];
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].bus, 1);
    EXPECT_EQ(first[0].devnum, 5);
    EXPECT_EQ(first[0].vendor, 0x03EB);
    EXPECT_EQ(first[0].product, 0x2FE4);
    EXPECT_FALSE(first[0].flash);
    EXPECT_FALSE(first[0].eeprom);
    EXPECT_EQ(first[1].bus, 2);
    EXPECT_EQ(first[1].devnum, 127);
    EXPECT_EQ(first[1].vendor, 0x046D);
    EXPECT_EQ(first[1].product, 0xC52B);

    const sim::Batch& second = scenario.batches[1];
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].bus, 999);
    EXPECT_EQ(second[0].faults, std::vector<sim::Fault>({{sim::FaultKind::Stall, 3},
                                                         {sim::FaultKind::NoOpen, std::nullopt},
                                                         {sim::FaultKind::Gone, std::nullopt}}));
}

TEST(ScenarioParse, UdevFailAndAnEmptyScenario) {
    EXPECT_TRUE(parse("udev-fail\n").udev_new_fails);
    const sim::Scenario empty = parse("# nothing\n\nwait\n");
    EXPECT_FALSE(empty.udev_new_fails);
    EXPECT_TRUE(empty.batches.empty());
}

TEST(ScenarioParse, MemoryFilesAreReadFromTheScenarioDirectory) {
    ScratchDir dir;
    std::filesystem::create_directory(dir.path("images"));
    write_bytes(dir.path("images/id.bin"), {0x01, 0x02, 0x03});
    write_bytes(dir.path("fw.bin"), Bytes(kFlashBytes, 0x5A));
    write_text(dir.path("s.scenario"),
               "device 1 5 eeprom=images/id.bin flash=" + dir.path("fw.bin") + "\n");

    const sim::Scenario scenario = sim::load_scenario(dir.path("s.scenario"));
    ASSERT_EQ(scenario.batches.size(), 1u);
    const sim::DevicePlan& plan = scenario.batches[0][0];
    EXPECT_EQ(plan.eeprom, std::vector<std::uint8_t>({0x01, 0x02, 0x03}));
    EXPECT_EQ(plan.flash, std::vector<std::uint8_t>(kFlashBytes, 0x5A));
}

TEST(ScenarioParse, EachBadLineIsReportedWithItsNumber) {
    ScratchDir dir;
    write_bytes(dir.path("big.bin"), Bytes(kEepromBytes + 1, 0));
    write_bytes(dir.path("small.bin"), {0x01});
    const std::string missing = dir.path("missing.bin");
    const struct {
        std::string line;
        std::string message;
    } cases[] = {
        {"plug 1 5", "unknown line kind 'plug' (expected device, other, wait or udev-fail)"},
        {"device 1", "device: expected <bus> <devnum> [flash=<file>] [eeprom=<file>] "
                     "[fault=<kind>[@<index>]]..."},
        {"device 0 5", "bus number '0' is not a number from 1 to 999"},
        {"device 1000 5", "bus number '1000' is not a number from 1 to 999"},
        {"device x 5", "bus number 'x' is not a number from 1 to 999"},
        {"device 1 128", "device number '128' is not a number from 1 to 127"},
        {"device 1 5x", "device number '5x' is not a number from 1 to 127"},
        {"device 1 5 fault=melt", "unknown fault 'melt'"},
        {"device 1 5 fault=gone@2", "unknown fault 'gone@2'"},
        {"device 1 5 fault=stall@", "unknown fault 'stall@'"},
        {"device 1 5 speed=12",
         "unknown device option 'speed=12' (expected flash=<file>, eeprom=<file> or "
         "fault=<kind>[@<index>])"},
        {"device 1 5 flash=",
         "unknown device option 'flash=' (expected flash=<file>, eeprom=<file> or "
         "fault=<kind>[@<index>])"},
        {"device 1 5 eeprom=big.bin", "eeprom file '" + dir.path("big.bin") +
                                          "' holds 1025 bytes, more than the 1024 of the "
                                          "memory"},
        {"device 1 5 eeprom=small.bin eeprom=small.bin", "eeprom is given twice"},
        {"device 1 5 flash=" + missing,
         "cannot read flash file '" + missing + "': No such file or directory"},
        {"other 1 5 03eb", "other: expected <bus> <devnum> <vendor hex> <product hex>"},
        {"other 1 5 12345 0001", "vendor id '12345' is not 1 to 4 hex digits"},
        {"other 1 5 0001 0x1", "product id '0x1' is not 1 to 4 hex digits"},
        {"wait now", "'wait' takes no arguments"},
        {"udev-fail 1", "'udev-fail' takes no arguments"},
        {"device 3 4\nother 3 4 1 2", "address 3-4 is already used in this batch"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const std::string text = "# a header\n\ndevice 1 1\nwait\n" + c.line + "\n";
        const int line = 5 + static_cast<int>(std::count(c.line.begin(), c.line.end(), '\n'));
        EXPECT_EQ(parse_error(text, dir.dir),
                  std::string(kName) + ":" + std::to_string(line) + ": " + c.message);
    }
}

TEST(ScenarioParse, SameAddressInALaterBatchIsFine) {
    EXPECT_EQ(parse("device 1 5\nwait\ndevice 1 5\n").batches.size(), 2u);
}

TEST(ScenarioParse, UnreadableScenarioFile) {
    ScratchDir dir;
    const std::string path = dir.path("none.scenario");
    try {
        sim::load_scenario(path);
        ADD_FAILURE() << "no error";
    } catch (const sim::ScenarioError& error) {
        EXPECT_EQ(std::string(error.what()),
                  path + ": cannot read the scenario: No such file or directory");
    }
}

// ---- playing scenarios on the bench

// The program's side: a filtered monitor, polled without waiting.
class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        layer = &sim::UdevBench::install();
        context = udev_new();
        monitor = udev_monitor_new_from_netlink(context, "udev");
        udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", "usb_device");
        udev_monitor_enable_receiving(monitor);
    }
    void TearDown() override {
        driver.reset();
        udev_monitor_unref(monitor);
        udev_unref(context);
        sim::UdevBench::uninstall();
    }

    void play(const std::string& text) {
        driver = std::make_unique<sim::ScenarioDriver>(*layer, parse(text, out.dir), out.dir);
    }

    // Takes one event; its action and devnum, or "none".
    std::string take() {
        udev_device* record = udev_monitor_receive_device(monitor);
        if (!record)
            return "none";
        const char* devnum = udev_device_get_sysattr_value(record, "devnum");
        std::string seen =
            std::string(udev_device_get_action(record)) + " " + (devnum ? devnum : "?");
        udev_device_unref(record);
        return seen;
    }

    static void idle() { usleep(sim::kIdleSleepUs); }

    sim::UdevBench* layer = nullptr;
    udev* context = nullptr;
    udev_monitor* monitor = nullptr;
    ScratchDir out;
    std::unique_ptr<sim::ScenarioDriver> driver;
};

TEST_F(DriverTest, NextBatchWaitsForTheIdleStepAfterEveryEventIsTaken) {
    play("device 1 5\ndevice 1 6\nwait\ndevice 1 7\n");
    EXPECT_EQ(take(), "none");
    idle();
    EXPECT_TRUE(exists(out.path("1-5.flash")));
    EXPECT_TRUE(exists(out.path("1-6.flash")));
    EXPECT_EQ(take(), "add 5");

    idle(); // one event still queued
    usleep(2000000);
    EXPECT_FALSE(exists(out.path("1-7.flash")));
    EXPECT_EQ(take(), "add 6");
    usleep(2000000); // the pause after a pass is not the idle step
    EXPECT_FALSE(exists(out.path("1-7.flash")));
    idle();
    EXPECT_TRUE(exists(out.path("1-7.flash")));
    EXPECT_FALSE(exists(out.path("done")));

    EXPECT_EQ(take(), "add 7");
    EXPECT_FALSE(driver->played_out());
    idle();
    EXPECT_TRUE(driver->played_out());
    EXPECT_TRUE(exists(out.path("done")));
    EXPECT_EQ(read_bytes(out.path("done")).size(), 0u);
}

TEST_F(DriverTest, EmptyScenarioIsDoneAtTheFirstIdleStep) {
    play("# nobody comes\n");
    usleep(2000000);
    EXPECT_FALSE(exists(out.path("done")));
    idle();
    EXPECT_TRUE(exists(out.path("done")));
}

TEST_F(DriverTest, PluggedDeviceFilesHoldItsStartMemories) {
    write_bytes(out.path("id.bin"), {0x12, 0x34});
    play("device 3 9 eeprom=id.bin\nother 3 10 1234 5678\n");
    idle();

    Bytes eeprom(kEepromBytes, kErased);
    eeprom[0] = 0x12;
    eeprom[1] = 0x34;
    EXPECT_EQ(read_bytes(out.path("3-9.eeprom")), eeprom);
    EXPECT_EQ(read_bytes(out.path("3-9.flash")), Bytes(kFlashBytes, kErased));
    EXPECT_EQ(read_bytes(out.path("3-9.log")), Bytes());
    EXPECT_TRUE(exists(out.path("3-10.log")));
    EXPECT_FALSE(exists(out.path("3-10.flash")));
}

TEST_F(DriverTest, ClosingAndLeavingRewriteTheFiles) {
    play("device 1 5\n");
    idle();
    usb_find_busses();
    usb_find_devices();
    usb_dev_handle* handle = usb_open(usb_get_busses()->devices);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(usb_control_msg(handle, 0x21, 4, 0, 0, nullptr, 0, 1000), 0);
    EXPECT_EQ(read_bytes(out.path("1-5.log")), Bytes());
    usb_close(handle);
    EXPECT_EQ(to_text(read_bytes(out.path("1-5.log"))),
              "0 type=21 req=4 value=0000 index=0000 len=0 out=- in=- rc=0\n");

    std::filesystem::remove(out.path("1-5.log"));
    layer->bench().unplug(*layer->bench().find(1, 5));
    EXPECT_TRUE(exists(out.path("1-5.log")));
}

TEST_F(DriverTest, DeviceStillOnTheBusIsPulledForTheNextOneAtItsAddress) {
    write_bytes(out.path("used.bin"), {0x00});
    play("device 1 5 eeprom=used.bin\nwait\ndevice 1 5 fault=noattr\n");
    idle();
    EXPECT_EQ(read_bytes(out.path("1-5.eeprom"))[0], 0x00);
    EXPECT_EQ(take(), "add 5");
    idle();
    EXPECT_EQ(take(), "remove ?");
    EXPECT_EQ(take(), "add ?"); // the new one's fault came along
    EXPECT_EQ(read_bytes(out.path("1-5.eeprom")), Bytes(kEepromBytes, kErased));
    // The one pulled is forgotten once its files are written: long runs stay small.
    ASSERT_EQ(layer->bench().devices().size(), 1u);
    EXPECT_TRUE(layer->bench().devices()[0]->on_bus());
}

TEST_F(DriverTest, UdevFailLineMakesUdevNewFail) {
    play("udev-fail\n");
    EXPECT_EQ(udev_new(), nullptr);
}

// ---- the korvofw-sim executable

constexpr auto kDoneLimit = std::chrono::seconds(30);
constexpr auto kPollInterval = std::chrono::milliseconds(20);

// Starts korvofw-sim with the options, stdout thrown away, stderr into a file.
pid_t start_station(const std::string& scenario, const std::string& out_dir,
                    const std::string& err_path, const std::vector<std::string>& options = {}) {
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    const int null_fd = open("/dev/null", O_WRONLY);
    const int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(null_fd, STDOUT_FILENO);
    dup2(err_fd, STDERR_FILENO);
    setenv("KORVOFW_SIM", scenario.c_str(), 1);
    setenv("KORVOFW_SIM_OUT", out_dir.c_str(), 1);
    unsetenv(sim::kRealtimeVariable);
    std::vector<char*> argv = {const_cast<char*>(KORVOFW_SIM_BIN)};
    for (const std::string& option : options)
        argv.push_back(const_cast<char*>(option.c_str()));
    argv.push_back(nullptr);
    execv(KORVOFW_SIM_BIN, argv.data());
    _exit(127);
}

bool wait_for_file(const std::string& path, pid_t pid) {
    const auto deadline = std::chrono::steady_clock::now() + kDoneLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (exists(path))
            return true;
        if (waitpid(pid, nullptr, WNOHANG) == pid)
            return false; // ended on its own
        std::this_thread::sleep_for(kPollInterval);
    }
    return false;
}

std::string first_line(const std::string& path) {
    std::istringstream text(to_text(read_bytes(path)));
    std::string line;
    std::getline(text, line);
    return line;
}

TEST(KorvofwSim, PlaysAOneDeviceScenarioUntilStopped) {
    ScratchDir dir;
    write_text(dir.path("one.scenario"), "device 1 5\n");
    const std::string out = dir.path("out/station"); // created by the run
    const pid_t pid = start_station(dir.path("one.scenario"), out, dir.path("stderr"));
    ASSERT_GT(pid, 0);
    const bool done = wait_for_file(out + "/done", pid);
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(done) << to_text(read_bytes(dir.path("stderr")));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);

    EXPECT_EQ(read_bytes(out + "/1-5.flash").size(), kFlashBytes);
    EXPECT_EQ(read_bytes(out + "/1-5.eeprom").size(), kEepromBytes);
    EXPECT_EQ(first_line(out + "/1-5.log"),
              "0 type=21 req=4 value=0000 index=0000 len=0 out=- in=- rc=0");
}

// Plays the scenario to its end with the options, stops the station and gives its stderr.
std::string station_messages(const ScratchDir& dir, const std::string& scenario,
                             const std::vector<std::string>& options) {
    write_text(dir.path("station.scenario"), scenario);
    const std::string out = dir.path("out");
    const pid_t pid = start_station(dir.path("station.scenario"), out, dir.path("stderr"), options);
    EXPECT_GT(pid, 0);
    const bool done = wait_for_file(out + "/done", pid);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    const std::string err = to_text(read_bytes(dir.path("stderr")));
    EXPECT_TRUE(done) << err;
    return err;
}

TEST(KorvofwSim, SaysWhenTheHardIdsAreUsedUp) {
    ScratchDir dir;
    const std::string err = station_messages(dir, "device 1 5\nwait\ndevice 1 6\n", {"-I", "1FFF"});
    EXPECT_EQ(err, "hard ID invalid : 0x2000 most be less than 0x1FFF\n"
                   "All hard IDs are used up; the device on bus 1, device 6 was not programmed. "
                   "Stop the station: no hard ID is left to hand out\n");
    EXPECT_EQ(read_bytes(dir.path("out/1-5.eeprom"))[24], 0xF8); // 0x1FFF went to the first
    EXPECT_EQ(read_bytes(dir.path("out/1-6.eeprom")), Bytes(kEepromBytes, 0xFF));
}

TEST(KorvofwSim, SaysWhenTheEepromImageFileCannotBeWritten) {
    ScratchDir dir;
    const std::string image = dir.path("gone/id.bin"); // its directory does not exist
    const std::string err = station_messages(dir, "device 1 5\n", {"-e", image, "-I", "10"});
    const std::string message =
        "Cannot write the EEPROM image file " + image +
        ": No such file or directory; make its directory writable for the station (and free "
        "space there). Until then the file lags behind: restart with -I from the last \"next "
        "unique ID\" shown, not from the file\n";
    EXPECT_EQ(err, message + message); // the reservation before the device, the update after
    const Bytes eeprom = read_bytes(dir.path("out/1-5.eeprom"));
    EXPECT_EQ(eeprom[23], 0x00); // the device was programmed all the same: hard ID 0x10
    EXPECT_EQ(eeprom[24], 0x80);
}

ProcessResult run_sim(const std::vector<std::string>& env) {
    ProcessOptions options;
    options.env = env;
    return run_process({KORVOFW_SIM_BIN}, options);
}

TEST(KorvofwSim, BadScenarioLineEndsTheRunWithItsNumber) {
    ScratchDir dir;
    const std::string scenario = dir.path("bad.scenario");
    write_text(scenario, "device 1 5\nwait\ndevice 1 5 fault=melt\n");
    const ProcessResult result =
        run_sim({"KORVOFW_SIM=" + scenario, "KORVOFW_SIM_OUT=" + dir.path("out")});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, "korvofw-sim: " + scenario + ":3: unknown fault 'melt'\n");
    EXPECT_EQ(result.out, "");
}

TEST(KorvofwSim, MissingScenarioVariableIsAnError) {
    ScratchDir dir;
    const ProcessResult result = run_sim({"KORVOFW_SIM=", "KORVOFW_SIM_OUT=" + dir.path("out")});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, "korvofw-sim: KORVOFW_SIM is not set; it names the scenario file\n");
}

TEST(KorvofwSim, UdevFailLineEndsTheProgramAsAFailedUdevInit) {
    ScratchDir dir;
    const std::string scenario = dir.path("fail.scenario");
    write_text(scenario, "udev-fail\ndevice 1 5\n");
    const ProcessResult result =
        run_sim({"KORVOFW_SIM=" + scenario, "KORVOFW_SIM_OUT=" + dir.path("out")});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "error: udev init\n");
}

} // namespace
