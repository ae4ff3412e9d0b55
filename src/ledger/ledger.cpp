#include "ledger.h"

#include "hextext.h"
#include "ledger_backends.h"

#include <libpq-fe.h>
#include <openssl/evp.h>

#include <cstdio>
#include <ctime>

namespace ledger {

namespace {

const char* const URI_SCHEMES[] = {"postgresql://", "postgres://"};
const char PASSWORD_KEY[] = "password=";
const char REDACTED[] = "***";
// SQLite's names for a database of no file: in memory, or an SQLite URI.
const char SQLITE_MEMORY[] = ":memory:";
const char SQLITE_URI[] = "file:";
const char ACCEPTED[] = "give an SQLite file path (such as /var/lib/korvofw/line.db) or a "
                        "postgresql:// URI (such as postgresql://korvo@db.line/korvofw)";
// Text that a spreadsheet reads as a formula when a cell begins with it.
const char FORMULA_STARTS[] = "=+-@\t\r";
const char TEXT_MARK = '\'';
constexpr int MS_PER_SECOND = 1000;

// The length of the URI scheme that starts the location, or 0 when it is no URI.
size_t scheme_length(const std::string& location) {
    for (const char* scheme : URI_SCHEMES) {
        std::string prefix = scheme;
        if (location.compare(0, prefix.size(), prefix) == 0)
            return prefix.size();
    }
    return 0;
}

// libpq decodes %XX in URIs, so a message may carry either form.
std::string percent_decoded(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hextext::digit(text[i + 1]) >= 0 &&
            hextext::digit(text[i + 2]) >= 0) {
            out +=
                static_cast<char>(hextext::digit(text[i + 1]) * 16 + hextext::digit(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// Where the user information of a URI ends: at the last '@' before the query, so that a
// password holding '/' or '@' is still found (and a path with '@' hidden rather than shown).
size_t userinfo_end(const std::string& location, size_t start) {
    size_t query = location.find('?', start);
    size_t at = location.rfind('@', query == std::string::npos ? std::string::npos : query);
    return at == std::string::npos || at < start ? std::string::npos : at;
}

// The passwords a URI carries: in its user information and in password= parameters.
std::vector<std::string> uri_passwords(const std::string& location) {
    std::vector<std::string> found;
    size_t start = scheme_length(location);
    if (start == 0)
        return found;
    size_t at = userinfo_end(location, start);
    if (at != std::string::npos) {
        size_t colon = location.find(':', start);
        if (colon < at)
            found.push_back(location.substr(colon + 1, at - colon - 1));
        // libpq ends the user information at its first '@': what follows up to the last one,
        // part of the password as the URI reads, it takes for the host and may print.
        for (size_t first = location.find('@', start); first < at;
             first = location.find('@', first + 1))
            found.push_back(location.substr(first + 1, at - first));
    }
    size_t query = location.find('?', start);
    while (query != std::string::npos) {
        size_t begin = query + 1;
        size_t end = location.find('&', begin);
        std::string param = location.substr(begin, end == std::string::npos ? end : end - begin);
        if (param.compare(0, sizeof PASSWORD_KEY - 1, PASSWORD_KEY) == 0)
            found.push_back(param.substr(sizeof PASSWORD_KEY - 1));
        query = end;
    }
    return found;
}

// A text that libpq takes for connection parameters, "host=db dbname=korvo": it parses as
// key=value pairs whose every key libpq knows (PQconninfoParse). A file name that merely holds
// an '=' (line=1.db) does not, nor does a path (/var/lib/korvofw/a=b). Its parameters go into
// `shown`, the password left out. Empty text parses too, with no parameter.
bool keyword_string(const std::string& location, std::string* shown = nullptr) {
    char* message = nullptr;
    PQconninfoOption* options = PQconninfoParse(location.c_str(), &message);
    PQfreemem(message);
    if (options == nullptr)
        return false;
    for (PQconninfoOption* o = options; shown != nullptr && o->keyword != nullptr; ++o)
        if (o->val != nullptr && std::string(o->keyword) != "password")
            *shown += (shown->empty() ? "" : " ") + std::string(o->keyword) + "=" + o->val;
    PQconninfoFree(options);
    return true;
}

void replace_all(std::string& text, const std::string& what, const std::string& with) {
    if (what.empty())
        return;
    for (size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
}

// A redacted tail (see uri_passwords()) keeps its '@', so that "***@host" still reads.
std::string redacted(const std::string& password) {
    return password.back() == '@' ? std::string(REDACTED) + "@" : REDACTED;
}

std::string int_field(int64_t value) {
    return std::to_string(value);
}

// An identity value as the export shows it: empty when none.
std::string id_field(int value) {
    return value < 0 ? std::string() : std::to_string(value);
}

} // namespace

std::unique_ptr<Ledger> make_ledger(const std::string& location, const std::string& station,
                                    const std::string& pool) {
    if (scheme_length(location) > 0)
        return make_pg_ledger(location, station, pool);
    return make_sqlite_ledger(location, station, pool);
}

int location_refused(const std::string& location, std::string& error) {
    if (scheme_length(location) > 0)
        return 0;
    std::string cause;
    if (location.find_first_not_of(" \t\n") == std::string::npos)
        cause = "no location given";
    else if (location == SQLITE_MEMORY)
        cause = "\":memory:\" is a database in memory, gone when the program ends";
    else if (location.compare(0, sizeof SQLITE_URI - 1, SQLITE_URI) == 0)
        cause = "SQLite \"file:\" URIs are not taken";
    else if (keyword_string(location))
        cause = "connection parameters (key=value) are not taken";
    else
        return 0;
    error = failure(location, "opening it", cause, ACCEPTED);
    return -1;
}

std::string shown_location(const std::string& location) {
    size_t start = scheme_length(location);
    std::string parameters;
    if (start == 0 && location.find('=') != std::string::npos &&
        keyword_string(location, &parameters))
        return parameters;
    if (start == 0)
        return location;
    std::string shown = location;
    size_t at = userinfo_end(shown, start);
    if (at != std::string::npos) {
        size_t colon = shown.find(':', start);
        if (colon < at)
            shown.erase(colon, at - colon);
    }
    size_t query = shown.find('?', start);
    if (query == std::string::npos)
        return shown;
    std::string kept;
    for (size_t begin = query + 1; begin <= shown.size();) {
        size_t end = shown.find('&', begin);
        if (end == std::string::npos)
            end = shown.size();
        std::string param = shown.substr(begin, end - begin);
        if (param.compare(0, sizeof PASSWORD_KEY - 1, PASSWORD_KEY) != 0 && !param.empty())
            kept += (kept.empty() ? "" : "&") + param;
        begin = end + 1;
    }
    shown.erase(query);
    return kept.empty() ? shown : shown + "?" + kept;
}

std::string without_password(const std::string& text, const std::string& location) {
    std::string out = text;
    for (const std::string& password : uri_passwords(location)) {
        replace_all(out, password, redacted(password));
        replace_all(out, percent_decoded(password), redacted(password));
    }
    return out;
}

std::string sha256_hex(const uint8_t* data, size_t length) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_length = 0;
    if (EVP_Digest(data, length, digest, &digest_length, EVP_sha256(), nullptr) != 1)
        return std::string();
    return hex_bytes(std::vector<uint8_t>(digest, digest + digest_length));
}

int64_t now_ms() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * MS_PER_SECOND + now.tv_nsec / 1000000;
}

std::string utc_text(int64_t ms) {
    time_t seconds = static_cast<time_t>(ms / MS_PER_SECOND);
    tm parts{};
    gmtime_r(&seconds, &parts);
    char text[64];
    snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
             parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
             static_cast<int>(ms % MS_PER_SECOND));
    return text;
}

std::string printable(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return out;
}

std::string csv_field(const std::string& raw) {
    const std::string text = raw.find_first_of(FORMULA_STARTS) == 0 ? TEXT_MARK + raw : raw;
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string csv_header() {
    return "row_id,station,pool,state,arrived_ms,ended_ms,bus,devnum,port,flash_path,"
           "image_sha256,image_length,from_id,hard_id,id_state,soft_id,rxaddr,record_read,"
           "record_written,result,message,flash_ms,eeprom_ms,part,erase_ms,test_status,test_ms,"
           "test_results\r\n";
}

std::string csv_line(const AttemptRow& r) {
    // A row that never finished has no outcome: its outcome fields stay empty.
    bool done = r.finished();
    std::vector<std::string> fields = {
        int_field(r.row_id),
        csv_field(r.station),
        csv_field(r.pool),
        r.state,
        int_field(r.arrived_ms),
        done ? int_field(r.ended_ms) : "",
        int_field(r.bus),
        int_field(r.devnum),
        csv_field(r.port),
        csv_field(r.flash_path),
        csv_field(r.image_sha256),
        int_field(r.image_length),
        r.from_id > 0 ? int_field(r.from_id) : "",
        id_field(r.hard_id),
        r.id_state,
        id_field(r.soft_id),
        id_field(r.rxaddr),
        hex_bytes(r.record_read),
        done ? hex_bytes(r.record_written) : "",
        done ? int_field(r.result) : "",
        done ? csv_field(r.message) : "",
        done ? int_field(r.flash_ms) : "",
        done ? int_field(r.eeprom_ms) : "",
        // Added at the end, so that a script that reads the columns by position still can.
        csv_field(r.part),
        done && r.erase_ms >= 0 ? int_field(r.erase_ms) : "",
        csv_field(r.test_status),
        r.tested() && r.test_ms >= 0 ? int_field(r.test_ms) : "",
        r.tested() ? csv_field(r.test_results) : "",
    };
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i)
        line += (i == 0 ? "" : ",") + fields[i];
    return line + "\r\n";
}

std::string hex_bytes(const std::vector<uint8_t>& bytes) {
    return hextext::encode(bytes, hextext::LOWER);
}

std::string hex4(int value) {
    char text[16];
    snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value));
    return text;
}

bool bytes_from_hex(const std::string& hex, std::vector<uint8_t>& bytes) {
    bytes.clear();
    if (hex.size() % 2 != 0)
        return false;
    for (size_t i = 0; i < hex.size(); i += 2) {
        int high = hextext::digit(hex[i]), low = hextext::digit(hex[i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes.push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return true;
}

std::string fix_init(const std::string& location) {
    return "create it first with: korvofw-ledger " + shown_location(location) + " init";
}

std::string failure(const std::string& location, const std::string& what, const std::string& cause,
                    const std::string& fix) {
    return "ledger " + shown_location(location) + ": " + what + ": " +
           without_password(cause, location) + "; " + fix;
}

} // namespace ledger
