#include "station_events.h"

#include "ledger.h"
#include "notify.h"
#include "station_ledger.h"
#include "udevwrapper.h"

namespace {

using nlohmann::json;

// A value the options or the record leave unset is null, never a made-up number.
json given(int value) {
    return value >= 0 ? json(value) : json();
}

json text_or_null(const char* text) {
    return text != nullptr ? json(text) : json();
}

json hex_or_null(const ByteBuffer& bytes) {
    return bytes.empty() ? json() : json(ledger::hex_bytes(bytes));
}

json ms_or_null(int64_t ms) {
    return ms >= 0 ? json(ms) : json();
}

json device_fields(const UdevWrapper& device) {
    return json{{"bus", device.bus_num}, {"device", device.dev_num}, {"port", device.port}};
}

} // namespace

void DeviceOutcome::take(const KorvoDfu& loader, int rval) {
    pass_ran = true;
    result = rval;
    message = pass_message(rval);
    record_read = loader.recordRead;
    record_written = loader.recordWritten;
    erase_ms = loader.eraseMs;
    flash_ms = loader.flashMs;
    eeprom_ms = loader.eepromMs;
}

void PassWatch::phase(const PassPhase& phase) {
    notify::watchdog();
    if (!cfg.events.active())
        return;
    json fields = device_fields(device);
    fields["phase"] = phase.name;
    if (phase.ended) {
        fields["result"] = phase.result;
        fields["ms"] = phase.ms;
        if (phase.bytes_total >= 0) {
            fields["bytes_done"] = phase.bytes_done;
            fields["bytes_total"] = phase.bytes_total;
        }
    }
    cfg.events.emit(phase.ended ? "phase.ended" : "phase.started", std::move(fields));
}

void station_started(RunConfig& cfg) {
    if (!cfg.events.active())
        return;
    json image; // null without a flash image
    if (cfg.flash_file != nullptr)
        image = json{
            {"file", cfg.flash_file},
            {"sha256", cfg.flash_bin.empty()
                           ? json()
                           : json(ledger::sha256_hex(cfg.flash_bin.data(), cfg.flash_bin.size()))},
            {"length", cfg.flash_bin.size()}};
    json options = {{"part", cfg.part->name},
                    {"erase", cfg.erase},
                    {"eeprom_file", text_or_null(cfg.eeprom_file)},
                    {"write_eeprom", cfg.write_ee},
                    {"hard_id", given(cfg.hard_id_set)},
                    {"soft_id", given(cfg.soft_id_set)},
                    {"rxaddr", given(cfg.rxaddr_set)},
                    {"pool", cfg.ledger != nullptr ? json(cfg.pool) : json()}};
    cfg.events.emit(
        "station.started",
        {{"options", std::move(options)},
         {"image", std::move(image)},
         {"ledger", cfg.ledger != nullptr ? json(ledger::shown_location(cfg.ledger)) : json()}});
}

void device_arrived(RunConfig& cfg, const UdevWrapper& device) {
    if (cfg.events.active())
        cfg.events.emit("device.arrived", device_fields(device));
}

void device_ended(RunConfig& cfg, const UdevWrapper& device, const DeviceOutcome& outcome,
                  bool counted) {
    if (!cfg.events.active())
        return;
    // The identity the device carries: as sent to it, or as read when nothing was sent.
    const ByteBuffer& record =
        outcome.record_written.empty() ? outcome.record_read : outcome.record_written;
    bool has_record = record.size() >= record::IDENTITY_END;
    json fields = device_fields(device);
    fields["part"] = cfg.part->name;
    fields["result"] = outcome.pass_ran ? json(outcome.result) : json();
    fields["message"] = outcome.message;
    fields["counted"] = counted;
    fields["hard_id"] = has_record ? json(record::hard_id(record)) : json();
    fields["soft_id"] = has_record ? json(record::soft_id(record)) : json();
    fields["rxaddr"] = has_record ? json(record::rxaddr(record)) : json();
    fields["record_read"] = hex_or_null(outcome.record_read);
    fields["record_written"] = hex_or_null(outcome.record_written);
    bool image = cfg.flash_file != nullptr && !cfg.flash_bin.empty();
    fields["image_sha256"] =
        image ? json(ledger::sha256_hex(cfg.flash_bin.data(), cfg.flash_bin.size())) : json();
    fields["image_length"] = image ? json(cfg.flash_bin.size()) : json();
    fields["ms"] = {{"erase", ms_or_null(outcome.erase_ms)},
                    {"flash", ms_or_null(outcome.flash_ms)},
                    {"eeprom", ms_or_null(outcome.eeprom_ms)}};
    fields["row"] = outcome.row > 0 ? json(outcome.row) : json();
    cfg.events.emit("device.ended", std::move(fields));
}

void station_stopping(RunConfig& cfg, const char* reason, int status) {
    notify::stopping();
    if (cfg.events.active())
        cfg.events.emit("station.stopping", {{"reason", reason}, {"status", status}});
}
