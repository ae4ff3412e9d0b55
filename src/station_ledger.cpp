#include "station_ledger.h"

#include "korvodfu.h"
#include "udevwrapper.h"

#include <iostream>
#include <sstream>

const char* pass_message(int rval) {
    switch (rval) {
    case PASS_OK:
        return "programmed";
    case PASS_STATUS_CLEAR_ERROR:
        return "Status clear error";
    case PASS_VERIFY_ERROR:
        return "Flash verification failed";
    case PASS_EEPROM_CLEAR_ERROR:
        return "Status clear error before the EEPROM";
    case PASS_EEPROM_SET_ERROR:
        return "EEPROM set error";
    case PASS_EEPROM_WRITE_ERROR:
        return "EEPROM write error";
    case PASS_DEVICE_NOT_FOUND:
        return "Device not found";
    case PASS_OPEN_ERROR:
        return "Cannot open the USB device";
    case PASS_EEPROM_READ_ERROR:
        return "EEPROM read error";
    case PASS_FLASH_SELECT_ERROR:
        return "Flash select error";
    case PASS_DEVICE_BUSY:
        return "In use by another program";
    case PASS_ERASE_ERROR:
        return "Chip erase error";
    default:
        return "unknown result";
    }
}

namespace {

// cause: the ledger's message as printed; fix: what the station does about it, or what to do.
void ledger_failed(const StationLedger& sl, const std::string& cause, const std::string& fix) {
    if (sl.events != nullptr && sl.events->active())
        sl.events->emit("ledger.failed", {{"ledger", sl.shown}, {"cause", cause}, {"fix", fix}});
}

void refuse(const StationLedger& sl, const std::string& error, const UdevWrapper& device,
            const char* why) {
    std::ostringstream outcome;
    outcome << "the device on bus " << device.bus_num << ", device " << device.dev_num
            << " was not programmed" << why << ". It is tried again with the next device";
    std::cerr << error << "; " << outcome.str() << std::endl;
    ledger_failed(sl, error, outcome.str());
}

std::string hex_id(int value) {
    return value > 0 ? ledger::hex4(value) : std::string("none");
}

// The ledger lost rows this station wrote: IDs handed out since could be handed out again. The
// outcome it no longer holds is printed whole, so that it is not lost with the row.
void report_lost_rows(const StationLedger& sl, const std::string& error) {
    const ledger::Attempt& a = sl.attempt;
    const std::string fix =
        "The ledger lost rows this station wrote: it was restored from a "
        "backup or failed over to a copy that lags behind, so hard IDs handed out since "
        "could be handed out again. The station stops. Check which copy of the ledger "
        "is current and that it holds every device this station programmed, then start "
        "the station again.";
    ledger_failed(sl, error, fix);
    std::cerr << error << ".\n"
              << fix << "\nThe device on bus " << a.bus << ", device " << a.devnum << " (row "
              << a.row_id << "): hard ID " << hex_id(a.hard_id) << " "
              << (sl.fate == ledger::ID_USED ? "used" : "not used") << ", soft ID "
              << hex_id(a.soft_id) << ", RXaddr " << hex_id(a.rxaddr) << ", result " << a.result
              << " (" << a.message << "), record read " << ledger::hex_bytes(a.record_read)
              << ", record written " << ledger::hex_bytes(a.record_written);
    if (!a.test_status.empty())
        std::cerr << ", test " << a.test_status << " in " << a.test_ms << " ms, results "
                  << a.test_results;
    std::cerr << std::endl;
}

// The outcome, then the test; 0; -1 with `error` set; STOP_STATION after saying why.
int write_pending(StationLedger& sl, std::string& error) {
    int rval = sl.pending ? sl.db->finish(sl.attempt, sl.fate, error) : 0;
    if (rval == 0 && sl.pending)
        sl.pending = false;
    if (rval == 0 && sl.test_pending)
        rval = sl.db->record_test(sl.attempt, error);
    if (rval == ledger::ROW_LOST) {
        report_lost_rows(sl, error);
        return STOP_STATION;
    }
    if (rval != 0)
        return -1;
    sl.test_pending = false;
    return 0;
}

int value_put(int value) {
    return value > 0 ? value : -1;
}

} // namespace

int open_station_ledger(const RunConfig& cfg, StationLedger& sl) {
    sl.db = ledger::make_ledger(cfg.ledger, cfg.station, cfg.pool);
    sl.from = cfg.hard_id_set;
    std::string error;
    sl.shown = ledger::shown_location(cfg.ledger);
    if (sl.db->open(error) != 0) {
        std::cerr << error << std::endl;
        ledger_failed(sl, error, "The station does not start; it ends with status 1");
        return -1;
    }
    if (!sl.db->upgraded().empty())
        std::cout << sl.db->upgraded() << std::endl;
    return 0;
}

int begin_device(StationLedger& sl, RunConfig& cfg, const UdevWrapper& device) {
    std::string error;
    // The last device's outcome goes in first: until it has, nothing more is programmed.
    int rval = write_pending(sl, error);
    if (rval == -1)
        refuse(sl, error, device, " (the last device's outcome is not in the ledger yet)");
    if (rval != 0)
        return rval;
    ledger::Attempt& a = sl.attempt;
    a = ledger::Attempt();
    a.arrived_ms = ledger::now_ms();
    a.bus = device.bus_num;
    a.devnum = device.dev_num;
    a.port = device.port;
    a.part = cfg.part->name;
    if (cfg.flash_file != nullptr) {
        a.flash_path = cfg.flash_file;
        a.image_sha256 = ledger::sha256_hex(cfg.flash_bin.data(), cfg.flash_bin.size());
        a.image_length = static_cast<int64_t>(cfg.flash_bin.size());
    }
    a.soft_id = value_put(cfg.soft_id_set);
    a.rxaddr = value_put(cfg.rxaddr_set);
    rval = sl.db->begin(a, sl.from > 0 ? sl.from : 0, error);
    if (rval < 0) {
        refuse(sl, error, device, "");
        return -1;
    }
    if (rval == ledger::NO_ID_LEFT)
        return rval;
    if (sl.from > 0)
        cfg.hard_id_set = a.hard_id;
    return 0;
}

int end_device(StationLedger& sl, RunConfig& cfg, const KorvoDfu& loader, int rval,
               int hard_id_before) {
    ledger::Attempt& a = sl.attempt;
    a.ended_ms = ledger::now_ms();
    a.record_read = loader.recordRead;
    a.record_written = loader.recordWritten;
    a.result = rval;
    a.message = pass_message(rval);
    a.flash_ms = loader.flashMs;
    a.eeprom_ms = loader.eepromMs;
    a.erase_ms = loader.eraseMs;
    // The pass advances the hard ID once the record may have reached the device.
    sl.fate = cfg.hard_id_set != hard_id_before ? ledger::ID_USED : ledger::ID_RELEASED;
    sl.pending = true;
    sl.left = -1;
    std::string error;
    int written = write_pending(sl, error);
    if (written == -1) {
        std::ostringstream outcome;
        outcome << "the outcome of the device on bus " << a.bus << ", device " << a.devnum
                << " is kept and written before the next device is programmed";
        std::cerr << error << "; " << outcome.str() << std::endl;
        ledger_failed(sl, error, outcome.str());
    }
    if (written != 0 || sl.from <= 0)
        return written == STOP_STATION ? STOP_STATION : 0;
    int next = 0, left = 0;
    if (sl.db->peek(sl.from, next, left, error) != 0) {
        std::cerr << error << std::endl;
        ledger_failed(sl, error, "The next hard ID is drawn when the next device arrives");
        return 0;
    }
    cfg.hard_id_set = next;
    sl.left = left;
    return 0;
}

int end_test(StationLedger& sl) {
    sl.test_pending = true;
    std::string error;
    int written = write_pending(sl, error);
    if (written == -1)
        std::cerr << error << "; the test of the device on bus " << sl.attempt.bus << ", device "
                  << sl.attempt.devnum
                  << " is kept and written before the next device is programmed" << std::endl;
    return written == STOP_STATION ? STOP_STATION : 0;
}

void report_ids_left(const StationLedger& sl, const RunConfig& cfg) {
    if (sl.left >= 0 && sl.left <= FEW_IDS_LEFT)
        std::cout << "Hard IDs left in pool " << cfg.pool << ": " << sl.left << std::endl;
}

int retry_pending(StationLedger& sl) {
    std::string error;
    int rval = sl.pending || sl.test_pending ? write_pending(sl, error) : -1;
    if (rval == 0)
        std::cout << "\nThe outcome of the device on bus " << sl.attempt.bus << ", device "
                  << sl.attempt.devnum << " is in the ledger now" << std::endl;
    return rval == STOP_STATION ? STOP_STATION : 0;
}
