#include "device_json.h"

#include "hextext.h"
#include "identity_record.h"

#include <nlohmann/json.hpp>

namespace web {

namespace {

using json = nlohmann::ordered_json;
constexpr int JSON_VERSION = 1;
constexpr int HEX = 16, DECIMAL = 10;
constexpr size_t MOST_DIGITS = 5; // 0x1FFF is 8191: longer text is no hard ID

// Ledger text may hold any bytes: what is not UTF-8 becomes U+FFFD instead of failing the reply.
std::string text_of(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

json id_or_null(int value) {
    return value < 0 ? json() : json(ledger::hex4(value));
}

json number_or_null(int64_t value) {
    return value < 0 ? json() : json(value);
}

std::string hex_of(const std::vector<uint8_t>& bytes, size_t offset, size_t length) {
    return hextext::encode(bytes.data() + offset, length, hextext::LOWER);
}

// The record's bytes and, when it is long enough to hold them, its fields.
json record_json(const std::vector<uint8_t>& bytes) {
    if (bytes.empty())
        return json();
    json r = {{"hex", ledger::hex_bytes(bytes)}};
    const bool whole = bytes.size() >= record::IDENTITY_END;
    r["commit"] =
        whole ? json(hex_of(bytes, record::VERSION_OFFSET, record::VERSION_SIZE)) : json();
    r["tag"] = whole ? json(hex_of(bytes, record::TAG_OFFSET, record::TAG_SIZE)) : json();
    r["hard_id"] =
        whole && record::hard_id(bytes) > 0 ? id_or_null(record::hard_id(bytes)) : json();
    r["soft_id"] = whole ? json(record::soft_id(bytes)) : json();
    r["rxaddr"] = whole ? id_or_null(record::rxaddr(bytes)) : json();
    return r;
}

// The test's results are a JSON object as the station wrote it; other text is given as it is.
json results_json(const ledger::AttemptRow& r) {
    if (!r.tested())
        return json();
    json parsed = json::parse(r.test_results, nullptr, false);
    return parsed.is_discarded() ? json(r.test_results) : parsed;
}

json attempt_json(const ledger::AttemptRow& r) {
    const bool done = r.finished();
    return {{"row_id", r.row_id},
            {"station", r.station},
            {"pool", r.pool},
            {"part", r.part},
            {"state", r.state},
            {"id_state", r.id_state.empty() ? json() : json(r.id_state)},
            {"arrived_ms", r.arrived_ms},
            {"ended_ms", done ? json(r.ended_ms) : json()},
            {"port", r.port},
            {"bus", r.bus},
            {"devnum", r.devnum},
            {"flash_path", r.flash_path},
            {"image_sha256", r.image_sha256},
            {"image_length", r.image_length},
            {"result", done ? json(r.result) : json()},
            {"message", done ? json(r.message) : json()},
            {"flash_ms", r.flash_ms},
            {"eeprom_ms", r.eeprom_ms},
            {"erase_ms", done ? number_or_null(r.erase_ms) : json()},
            {"from_id", r.from_id > 0 ? json(ledger::hex4(r.from_id)) : json()},
            {"hard_id", r.hard_id > 0 ? json(ledger::hex4(r.hard_id)) : json()},
            {"soft_id", number_or_null(r.soft_id)},
            {"rxaddr", id_or_null(r.rxaddr)},
            {"record_read", record_json(r.record_read)},
            {"record_written", record_json(r.record_written)},
            {"test_status", r.tested() ? json(r.test_status) : json()},
            {"test_ms", r.tested() ? number_or_null(r.test_ms) : json()},
            {"test_results", results_json(r)}};
}

} // namespace

bool parse_device_id(const std::string& text, int& hard_id) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > MOST_DIGITS)
        return false;
    int value = 0;
    for (unsigned char c : digits) {
        const int d = hex ? hextext::digit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (d < 0)
            return false;
        value = value * (hex ? HEX : DECIMAL) + d;
    }
    if (value < ledger::HARD_ID_FIRST || value > ledger::HARD_ID_LAST)
        return false;
    hard_id = value;
    return true;
}

std::string device_json(int hard_id, const std::vector<ledger::AttemptRow>& rows) {
    json attempts = json::array();
    for (const ledger::AttemptRow& r : rows)
        attempts.push_back(attempt_json(r));
    return text_of(
        {{"v", JSON_VERSION}, {"hard_id", ledger::hex4(hard_id)}, {"attempts", attempts}});
}

std::string error_json(const std::string& message) {
    return text_of({{"v", JSON_VERSION}, {"error", message}});
}

} // namespace web
