// The real-kernel bench's front end, korvo-usbredir (sim/usbredir/): its commands in
// usbredir_commands.h, descriptors in usbredir_descriptors.h, main in usbredir_frontend.cpp.
//
// One slot of the usbredir front end: a listening unix socket that QEMU's
// usb-redir device connects to, and the bench bootloader plugged into it, if any.
//
// The slot is the usbredir "host" side. Standard requests are answered here
// (descriptors, status; SET_CONFIGURATION and SET_INTERFACE arrive as the
// parser's own packets), class and vendor requests go through the bench to
// the device model, so they are logged and faulted exactly as on the
// link-time bench. A request the bench times out is left unanswered until
// the host cancels it, as a device that never answers would be. A request the
// model says the part is busy with for a while (page writes, erase, EEPROM
// writes: the bench clock's advance while the model carries it out) completes
// that much later in real time; the slot's later requests wait for it, the other
// slots do not.
#pragma once

#include "usb/bench.h"
#include "usbredir_commands.h"

#include <usbredirfilter.h>
#include <usbredirparser.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sim::usbredir {

// Timestamped lines, seconds since the front end started, on stdout and in
// <dir>/events: "<t> slot=<n> name=<name> <what>".
class EventLog {
  public:
    explicit EventLog(const std::string& path); // throws std::runtime_error
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;
    void note(std::size_t slot, const std::string& name, const std::string& what);
    // The time as the lines give it.
    std::string now() const;

  private:
    std::FILE* file_;
    timespec start_;
};

class Slot {
  public:
    Slot(std::size_t index, Bench& bench, const std::string& socket_path, std::string out_dir,
         EventLog& events, std::set<std::string>& used_names);
    ~Slot();
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;

    int listen_fd() const { return listen_fd_; }
    int client_fd() const { return client_fd_; }
    bool wants_write() const;
    // When the next held request or busy reply is due, if any is.
    std::optional<std::chrono::steady_clock::time_point> next_due() const;

    void accept_client();
    void on_readable();
    void on_writable();
    // Completes the busy reply and carries out the held requests that are due.
    void on_timer();

    // Throw CommandError when the slot cannot do it.
    void plug(const Command& command);
    void set_slow(unsigned ms);
    void unplug();
    void save();
    bool has_device() const { return device_.has_value(); }

    // Parser callbacks.
    void hello(usb_redir_hello_header* hello);
    void reset();
    void set_configuration(std::uint64_t id, usb_redir_set_configuration_header* header);
    void get_configuration(std::uint64_t id);
    void set_alt_setting(std::uint64_t id, usb_redir_set_alt_setting_header* header);
    void get_alt_setting(std::uint64_t id, usb_redir_get_alt_setting_header* header);
    void cancel_data_packet(std::uint64_t id);
    void device_disconnect_ack();
    void control_packet(std::uint64_t id, usb_redir_control_packet_header* header,
                        const std::uint8_t* data, int data_len);
    int read_bytes(std::uint8_t* data, int count);
    int write_bytes(std::uint8_t* data, int count);
    void parser_log(int level, const char* message);
    void unexpected(const char* what);
    usbredirparser* parser() { return parser_; }

  private:
    using Clock = std::chrono::steady_clock;
    // A class or vendor request held back by the device's slowdown.
    struct Held {
        std::uint64_t id;
        usb_redir_control_packet_header request;
        std::vector<std::uint8_t> data;
        Clock::time_point due;
    };
    // A request the model has carried out, answered once the part would be done with it.
    struct Busy {
        std::uint64_t id;
        usb_redir_control_packet_header request;
        std::uint8_t status;
        std::vector<std::uint8_t> in;
        Clock::time_point due;
    };
    struct Plugged {
        const parts::Part* part = nullptr;
        std::string name;
        SimDevice* sim = nullptr;
        usb_dev_handle* handle = nullptr;
        bool connected = false; // device_connect sent on the current connection
        std::optional<std::uint64_t> unanswered_id;
        usb_redir_control_packet_header unanswered{};
        unsigned slow_ms = 0;
        std::deque<Held> held; // in the order they came
        std::optional<Busy> busy;
        std::uint64_t busy_us = 0;         // the part's busy time so far, for the events
        std::vector<std::string> taken_at; // when the model took each request of the log
    };

    void open_parser();
    void close_client();
    void connect_device();
    void send_interface_and_endpoints();
    void leave_bus(const char* why);
    void write_files() const;
    std::string tally() const;
    void standard_request(std::uint64_t id, usb_redir_control_packet_header reply);
    void model_request(std::uint64_t id, usb_redir_control_packet_header reply,
                       const std::vector<std::uint8_t>& data);
    void reply(std::uint64_t id, usb_redir_control_packet_header header, std::uint8_t status,
               const std::vector<std::uint8_t>& in = {});
    void note(const std::string& what);

    std::size_t index_;
    Bench& bench_;
    std::string out_dir_;
    EventLog& events_;
    std::set<std::string>& used_names_;
    std::size_t plug_count_ = 0;
    int listen_fd_ = -1;
    int client_fd_ = -1;
    usbredirparser* parser_ = nullptr;
    bool peer_hello_ = false;
    bool awaiting_disconnect_ack_ = false;
    bool client_failed_ = false;
    std::uint8_t configuration_ = 0;
    std::optional<Plugged> device_;
};

} // namespace sim::usbredir
