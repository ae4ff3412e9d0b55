// korvofw-sim: the program's own main against the simulated bench. The bench
// installs itself from the environment on the program's first stand-in call:
//
//   KORVOFW_SIM       the scenario file to play
//   KORVOFW_SIM_OUT   the directory for the devices' files (created if missing)
//
// Diagnostics go to stderr only: the station's stdout stays the program's own.
#include "scenario_driver.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

constexpr char kScenarioVariable[] = "KORVOFW_SIM";
constexpr char kOutVariable[] = "KORVOFW_SIM_OUT";
constexpr int kBadSetup = 2;

// Lives until the process ends: the program leaves its wait loop only to exit, and at
// exit the bench may be destroyed before anything here.
sim::ScenarioDriver* g_driver = nullptr;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "korvofw-sim: %s\n", what.c_str());
    std::exit(kBadSetup);
}

std::string required_variable(const char* name, const char* meaning) {
    const char* value = std::getenv(name);
    if (!value || !*value)
        fail(std::string(name) + " is not set; it names " + meaning);
    return value;
}

void make_out_dir(const std::string& dir) {
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error)
        fail("cannot create the output directory " + dir + ": " + error.message());
}

void install_from_environment() {
    const std::string scenario_path = required_variable(kScenarioVariable, "the scenario file");
    const std::string out_dir = required_variable(kOutVariable, "the output directory");
    sim::Scenario scenario;
    try {
        scenario = sim::load_scenario(scenario_path);
    } catch (const sim::ScenarioError& error) {
        fail(error.what());
    }
    make_out_dir(out_dir);
    g_driver = new sim::ScenarioDriver(sim::UdevBench::install(), std::move(scenario), out_dir);
}

[[maybe_unused]] const bool g_registered =
    (sim::UdevBench::set_installer(&install_from_environment), true);

} // namespace
