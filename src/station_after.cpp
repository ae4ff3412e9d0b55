#include "station_after.h"

#include "hook.h"
#include "korvodfu.h"
#include "notify.h"
#include "station_ledger.h"
#include "udevwrapper.h"

#include <nlohmann/json.hpp>

#include <iostream>

namespace {

// The record the device carries: as written, or as read when the pass wrote none.
const ByteBuffer& carried_record(const KorvoDfu& loader) {
    return loader.recordWritten.empty() ? loader.recordRead : loader.recordWritten;
}

std::vector<std::string> test_environment(const RunConfig& cfg, const UdevWrapper& device,
                                          const ByteBuffer& record, const StationLedger* sl) {
    bool known = record.size() >= record::RXADDR_OFFSET + 2;
    auto id = [known](int value) { return known ? ledger::hex4(value) : std::string(); };
    std::vector<std::string> env = {
        "KORVOFW_HARD_ID=" + id(known ? record::hard_id(record) : 0),
        "KORVOFW_SOFT_ID=" + id(known ? record::soft_id(record) : 0),
        "KORVOFW_RXADDR=" + id(known ? record::rxaddr(record) : 0),
        "KORVOFW_PORT=" + device.port,
        "KORVOFW_BUS=" + std::to_string(device.bus_num),
        "KORVOFW_DEVICE=" + std::to_string(device.dev_num),
        "KORVOFW_STATION=" + cfg.station,
        "KORVOFW_POOL=" + cfg.pool,
        "KORVOFW_IMAGE_SHA256=" +
            (cfg.flash_file != nullptr
                 ? ledger::sha256_hex(cfg.flash_bin.data(), cfg.flash_bin.size())
                 : std::string()),
    };
    if (sl != nullptr)
        env.push_back("KORVOFW_ROW=" + std::to_string(sl->attempt.row_id));
    return env;
}

// The results as one JSON object; a key given twice keeps its last value.
std::string results_json(const hook::Outcome& outcome) {
    nlohmann::ordered_json results = nlohmann::ordered_json::object();
    for (const auto& result : outcome.results)
        results[result.first] = result.second;
    // Output that is not UTF-8 is kept, its bad bytes replaced, rather than lost.
    return results.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

void report_dropped(const hook::Outcome& outcome) {
    if (outcome.dropped_many > 0)
        std::cerr << "The test printed " << outcome.dropped_many << " result lines more than the "
                  << hook::MAX_RESULTS << " kept; they were dropped" << std::endl;
    if (outcome.dropped_long > 0)
        std::cerr << "The test printed " << outcome.dropped_long << " result lines longer than "
                  << hook::MAX_LINE_BYTES << " bytes; they were dropped" << std::endl;
}

// The test.ended event: the device, its hard ID, its row, and the test's outcome whole.
void test_ended(RunConfig& cfg, const UdevWrapper& device, const ByteBuffer& record,
                const StationLedger* sl, const hook::Outcome& outcome, const std::string& status) {
    if (!cfg.events.active())
        return;
    using nlohmann::json;
    json results = json::object();
    for (const auto& result : outcome.results)
        results[result.first] = result.second;
    bool known = record.size() >= record::RXADDR_OFFSET + 2;
    cfg.events.emit(
        "test.ended",
        {{"bus", device.bus_num},
         {"device", device.dev_num},
         {"port", device.port},
         {"hard_id", known ? json(record::hard_id(record)) : json()},
         {"row", sl != nullptr ? json(sl->attempt.row_id) : json()},
         {"command", cfg.after},
         {"passed", outcome.passed()},
         {"status", status},
         {"exit_status", outcome.status == hook::EXITED || outcome.status == hook::PASSED
                             ? json(outcome.code)
                             : json()},
         {"signal", outcome.status == hook::SIGNALLED ? json(outcome.code) : json()},
         {"timed_out", outcome.status == hook::TIMED_OUT},
         {"ms", outcome.ms},
         {"results", std::move(results)},
         {"dropped", outcome.dropped_many + outcome.dropped_long}});
}

} // namespace

int test_device(RunConfig& cfg, const UdevWrapper& device, const KorvoDfu& loader,
                StationLedger* sl, bool& passed) {
    const ByteBuffer& record = carried_record(loader);
    std::cout << "\nTesting the device." << std::endl;
    hook::Outcome outcome;
    hook::run(cfg.after, test_environment(cfg, device, record, sl), cfg.after_timeout, std::cout,
              std::cerr, outcome, notify::watchdog);
    report_dropped(outcome);
    passed = outcome.passed();
    const std::string status = hook::status_text(outcome, cfg.after_timeout);
    if (passed) {
        std::cout << "Test passed." << std::endl;
    } else {
        bool known = record.size() >= record::RXADDR_OFFSET + 2;
        std::cerr << "Test failed (" << status << "): the device on bus " << device.bus_num
                  << ", device " << device.dev_num << " (port " << device.port
                  << ") carries hard ID "
                  << (known ? ledger::hex4(record::hard_id(record)) : std::string("none"))
                  << " and keeps it; it is not counted. Set it aside" << std::endl;
    }
    test_ended(cfg, device, record, sl, outcome, status);
    if (sl == nullptr)
        return 0;
    sl->attempt.test_status = status;
    sl->attempt.test_ms = outcome.ms;
    sl->attempt.test_results = results_json(outcome);
    return end_test(*sl);
}
