#include "routes.h"

#include "device_json.h"
#include "export_stream.h"
#include "static_files.h"

#include <cstring>

namespace web {

constexpr std::chrono::seconds Routes::DEVICE_WAIT;

namespace {

constexpr int OK = 200, NOT_FOUND = 404, NOT_ALLOWED = 405, UNAVAILABLE = 503;
const char* const JSON_TYPE = "application/json";
const char* const TEXT_TYPE = "text/plain; charset=utf-8";
const char* const HTML_TYPE = "text/html; charset=utf-8";
const char* const METRICS_TYPE = "text/plain; version=0.0.4; charset=utf-8";
const char* const CSV_TYPE = "text/csv; charset=utf-8";
const char* const DEVICE_PAGE = "/device/";
const char* const DEVICE_API = "/api/device/";
const Header NO_STORE = {"Cache-Control", "no-store"};   // data: always asked for anew
const Header REVALIDATE = {"Cache-Control", "no-cache"}; // files: new ones after an upgrade
const Header RETRY_SOON = {"Retry-After", "1"};

bool starts_with(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// Our addresses are plain ASCII with no escapes: anything else (a %-escape, "..", a control
// byte, bytes that are not ASCII) is no address of ours, whatever it would decode to.
bool plain_path(const std::string& path) {
    for (unsigned char c : path)
        if (c <= ' ' || c >= 0x7F || c == '%' || c == '\\')
            return false;
    return !path.empty() && path[0] == '/' && path.find("..") == std::string::npos;
}

Reply text_reply(int status, const char* type, std::string body, std::vector<Header> headers) {
    Reply r;
    r.status = status, r.content_type = type, r.body = std::move(body);
    r.headers = std::move(headers);
    return r;
}

Reply api_error(int status, const std::string& message) {
    return text_reply(status, JSON_TYPE, error_json(message), {NO_STORE});
}

Reply page_not_found() {
    return text_reply(NOT_FOUND, HTML_TYPE,
                      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                      "<title>Not found</title></head><body><h1>Not found</h1><p>No page has "
                      "this address. The line is at <a href=\"/\">/</a>; a device's page is "
                      "/device/ and its hard ID, such as /device/0x1A2.</p></body></html>\n",
                      {NO_STORE});
}

Reply static_file(const std::string& path) {
    const StaticFile* file = find_static(path);
    if (file == nullptr)
        return page_not_found();
    Reply r = text_reply(OK, file->content_type, std::string(), {REVALIDATE});
    r.body.assign(reinterpret_cast<const char*>(file->body), file->size);
    return r;
}

} // namespace

Reply Routes::handle(const std::string& method, const std::string& path) {
    const bool head = method == "HEAD";
    if (method != "GET" && !head)
        return text_reply(NOT_ALLOWED, TEXT_TYPE, "Only GET and HEAD are served here.\n",
                          {{"Allow", "GET, HEAD"}});
    if (!plain_path(path))
        return starts_with(path, "/api/") ? api_error(NOT_FOUND, "no such address")
                                          : page_not_found();
    if (path == "/")
        return static_file("/index.html");
    if (path == "/api/line" || path == "/metrics")
        return line_text(path == "/metrics");
    if (path == "/export.csv")
        return export_csv(head);
    int hard_id = 0;
    if (starts_with(path, DEVICE_PAGE))
        return parse_device_id(path.substr(std::strlen(DEVICE_PAGE)), hard_id)
                   ? static_file("/device.html")
                   : page_not_found();
    if (starts_with(path, DEVICE_API))
        return device(path.substr(std::strlen(DEVICE_API)));
    if (starts_with(path, "/api/"))
        return api_error(NOT_FOUND, "no such address");
    return static_file(path);
}

// The last texts the refresher read: marked stale when the latest read failed; 503 with the
// reason when none was ever read.
Reply Routes::line_text(bool metrics) {
    Refresher::Latest latest = line_.latest();
    if (!latest.texts)
        return metrics
                   ? text_reply(UNAVAILABLE, TEXT_TYPE, latest.error + "\n", {NO_STORE, RETRY_SOON})
                   : text_reply(UNAVAILABLE, JSON_TYPE, error_json(latest.error),
                                {NO_STORE, RETRY_SOON});
    Reply r =
        text_reply(OK, metrics ? METRICS_TYPE : JSON_TYPE,
                   metrics ? latest.texts->metrics_text : latest.texts->line_json, {NO_STORE});
    if (latest.stale)
        r.headers.push_back({"X-Korvofw-Stale", "1"});
    return r;
}

Reply Routes::device(const std::string& id_text) {
    int hard_id = 0;
    if (!parse_device_id(id_text, hard_id))
        return api_error(NOT_FOUND, "no hard ID \"" + id_text +
                                        "\": give 0x and hex digits, or decimal digits, from "
                                        "0x1 to 0x1FFF, such as 0x1A2");
    std::vector<ledger::AttemptRow> rows;
    std::string error;
    int read;
    {
        std::unique_lock<std::timed_mutex> hold(devices_mutex_, DEVICE_WAIT);
        if (!hold.owns_lock())
            return api_error(UNAVAILABLE, "the ledger is slow to answer another device lookup; "
                                          "try again in a moment");
        read = devices_.rows(
            ledger::ROWS_OF_HARD_ID, hard_id,
            [&rows](const ledger::AttemptRow& r) { rows.push_back(r); }, error);
    }
    if (read != 0)
        return api_error(UNAVAILABLE, error);
    return text_reply(OK, JSON_TYPE, device_json(hard_id, rows), {NO_STORE});
}

Reply Routes::export_csv(bool head) {
    Reply r = text_reply(
        OK, CSV_TYPE, std::string(),
        {NO_STORE, {"Content-Disposition", "attachment; filename=\"korvofw-ledger.csv\""}});
    if (head)
        return r;
    {
        std::lock_guard<std::mutex> hold(exports_mutex_);
        if (exports_ >= MOST_EXPORTS)
            return text_reply(UNAVAILABLE, TEXT_TYPE,
                              "Two exports are being sent already; try again when one has "
                              "ended.\n",
                              {NO_STORE, RETRY_SOON});
        ++exports_;
    }
    std::unique_ptr<ledger::Ledger> reader = ledger::make_ledger(location_, "", "");
    std::string error;
    if (reader->open_read(error) != 0) {
        std::lock_guard<std::mutex> hold(exports_mutex_);
        --exports_;
        export_ended_.notify_all();
        return text_reply(UNAVAILABLE, TEXT_TYPE, error + "\n", {NO_STORE, RETRY_SOON});
    }
    r.stream = ExportStream::start(std::move(reader), location_, [this] {
        std::lock_guard<std::mutex> hold(exports_mutex_);
        --exports_;
        export_ended_.notify_all();
    });
    return r;
}

void Routes::wait_for_exports() {
    std::unique_lock<std::mutex> hold(exports_mutex_);
    export_ended_.wait(hold, [this] { return exports_ == 0; });
}

} // namespace web
