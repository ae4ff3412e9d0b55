#include "usbredir_slot.h"

#include "usbredir_descriptors.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace sim::usbredir {
namespace {

constexpr int kBenchBus = 1;
constexpr std::uint8_t kDirectionIn = 0x80;
constexpr std::uint8_t kTypeMask = 0x60;
constexpr std::uint8_t kTypeStandard = 0x00;
constexpr std::uint8_t kRecipientMask = 0x1F;
constexpr std::uint8_t kRecipientInterface = 0x01;
constexpr std::uint8_t kGetStatus = 0;
constexpr std::uint8_t kGetDescriptor = 6;
constexpr std::size_t kStatusBytes = 2;
constexpr std::size_t kEndpointSlots = 32; // usbredir's ep_info index: (ep & 0x80) >> 3 | ep & 0x0F
constexpr std::size_t kEp0In = 16;
constexpr std::uint8_t kFlipGroupStart = 0x04;
constexpr std::uint8_t kFlipStartCommand = 0x03;
// Only the bench's simulated clock sees it: the real host keeps its own time-out.
constexpr int kRequestTimeoutMs = 5000;
constexpr char kVersion[] = "korvo-usbredir 1.0";
constexpr long kNanosecondsPerMicrosecond = 1000;
constexpr long kMicrosecondsPerSecond = 1000000;

Slot& slot_of(void* priv) {
    return *static_cast<Slot*>(priv);
}

void write_atomically(const std::string& path, const std::string& contents) {
    const std::string temp = path + ".tmp";
    {
        std::ofstream file(temp, std::ios::binary | std::ios::trunc);
        file.write(contents.data(), static_cast<std::streamsize>(contents.size()));
        file.close();
        if (!file)
            throw std::runtime_error("cannot write " + temp + ": " + std::strerror(errno));
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot rename " + temp + ": " + std::strerror(errno));
}

std::string as_string(const std::vector<std::uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::vector<std::uint8_t> read_whole(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw CommandError("cannot read " + path + ": " + std::strerror(errno));
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(file), {});
}

// Loads a start file from address 0 into the model, or refuses it naming the file and the sizes.
void load_start(FlipDevice& device, MemoryUnit unit, const char* what,
                const std::optional<std::string>& path) {
    if (!path)
        return;
    const std::vector<std::uint8_t> bytes = read_whole(*path);
    try {
        device.load(unit, 0, bytes);
    } catch (const std::out_of_range&) {
        const std::size_t size =
            unit == MemoryUnit::Flash ? device.flash().size() : device.eeprom().size();
        throw CommandError(*path + " (" + std::to_string(bytes.size()) + " bytes) does not fit " +
                           device.part().name + "'s " + what + " (" + std::to_string(size) +
                           " bytes)");
    }
}

bool has_meaning_on_a_real_bus(FaultKind kind) {
    // These act on the link-time libusb and libudev stand-ins, which a real kernel replaces,
    // or signal the process the bench runs in, which here is not the station's.
    return kind != FaultKind::NoOpen && kind != FaultKind::Busy && kind != FaultKind::Gone &&
           kind != FaultKind::NoAttr && kind != FaultKind::SigTerm && kind != FaultKind::SigInt;
}

// ---- parser callbacks: the library calls every one of them without a null check

void cb_log(void* priv, int level, const char* msg) {
    slot_of(priv).parser_log(level, msg);
}
int cb_read(void* priv, std::uint8_t* data, int count) {
    return slot_of(priv).read_bytes(data, count);
}
int cb_write(void* priv, std::uint8_t* data, int count) {
    return slot_of(priv).write_bytes(data, count);
}
void cb_hello(void* priv, usb_redir_hello_header* hello) {
    slot_of(priv).hello(hello);
}
void cb_reset(void* priv) {
    slot_of(priv).reset();
}
void cb_set_configuration(void* priv, std::uint64_t id, usb_redir_set_configuration_header* h) {
    slot_of(priv).set_configuration(id, h);
}
void cb_get_configuration(void* priv, std::uint64_t id) {
    slot_of(priv).get_configuration(id);
}
void cb_set_alt_setting(void* priv, std::uint64_t id, usb_redir_set_alt_setting_header* h) {
    slot_of(priv).set_alt_setting(id, h);
}
void cb_get_alt_setting(void* priv, std::uint64_t id, usb_redir_get_alt_setting_header* h) {
    slot_of(priv).get_alt_setting(id, h);
}
void cb_cancel_data_packet(void* priv, std::uint64_t id) {
    slot_of(priv).cancel_data_packet(id);
}
void cb_device_disconnect_ack(void* priv) {
    slot_of(priv).device_disconnect_ack();
}
void cb_control_packet(void* priv, std::uint64_t id, usb_redir_control_packet_header* header,
                       std::uint8_t* data, int data_len) {
    Slot& slot = slot_of(priv);
    slot.control_packet(id, header, data, data_len);
    usbredirparser_free_packet_data(slot.parser(), data);
}

// The device has no endpoint besides EP0, so streams and data on other
// endpoints are refused as invalid.
void cb_start_iso_stream(void* priv, std::uint64_t id, usb_redir_start_iso_stream_header* h) {
    usb_redir_iso_stream_status_header status{usb_redir_inval, h->endpoint};
    usbredirparser_send_iso_stream_status(slot_of(priv).parser(), id, &status);
}
void cb_stop_iso_stream(void* priv, std::uint64_t id, usb_redir_stop_iso_stream_header* h) {
    usb_redir_iso_stream_status_header status{usb_redir_inval, h->endpoint};
    usbredirparser_send_iso_stream_status(slot_of(priv).parser(), id, &status);
}
void cb_start_interrupt_receiving(void* priv, std::uint64_t id,
                                  usb_redir_start_interrupt_receiving_header* h) {
    usb_redir_interrupt_receiving_status_header status{usb_redir_inval, h->endpoint};
    usbredirparser_send_interrupt_receiving_status(slot_of(priv).parser(), id, &status);
}
void cb_stop_interrupt_receiving(void* priv, std::uint64_t id,
                                 usb_redir_stop_interrupt_receiving_header* h) {
    usb_redir_interrupt_receiving_status_header status{usb_redir_inval, h->endpoint};
    usbredirparser_send_interrupt_receiving_status(slot_of(priv).parser(), id, &status);
}
void cb_alloc_bulk_streams(void* priv, std::uint64_t id, usb_redir_alloc_bulk_streams_header* h) {
    usb_redir_bulk_streams_status_header status{h->endpoints, 0, usb_redir_inval};
    usbredirparser_send_bulk_streams_status(slot_of(priv).parser(), id, &status);
}
void cb_free_bulk_streams(void* priv, std::uint64_t id, usb_redir_free_bulk_streams_header* h) {
    usb_redir_bulk_streams_status_header status{h->endpoints, 0, usb_redir_inval};
    usbredirparser_send_bulk_streams_status(slot_of(priv).parser(), id, &status);
}
void cb_start_bulk_receiving(void* priv, std::uint64_t id,
                             usb_redir_start_bulk_receiving_header* h) {
    usb_redir_bulk_receiving_status_header status{h->stream_id, h->endpoint, usb_redir_inval};
    usbredirparser_send_bulk_receiving_status(slot_of(priv).parser(), id, &status);
}
void cb_stop_bulk_receiving(void* priv, std::uint64_t id, usb_redir_stop_bulk_receiving_header* h) {
    usb_redir_bulk_receiving_status_header status{h->stream_id, h->endpoint, usb_redir_inval};
    usbredirparser_send_bulk_receiving_status(slot_of(priv).parser(), id, &status);
}
void cb_bulk_packet(void* priv, std::uint64_t id, usb_redir_bulk_packet_header* h,
                    std::uint8_t* data, int) {
    Slot& slot = slot_of(priv);
    usb_redir_bulk_packet_header reply = *h;
    reply.status = usb_redir_inval;
    reply.length = 0;
    reply.length_high = 0;
    usbredirparser_send_bulk_packet(slot.parser(), id, &reply, nullptr, 0);
    usbredirparser_free_packet_data(slot.parser(), data);
}
void cb_iso_packet(void* priv, std::uint64_t id, usb_redir_iso_packet_header* h, std::uint8_t* data,
                   int) {
    Slot& slot = slot_of(priv);
    usb_redir_iso_packet_header reply = *h;
    reply.status = usb_redir_inval;
    reply.length = 0;
    usbredirparser_send_iso_packet(slot.parser(), id, &reply, nullptr, 0);
    usbredirparser_free_packet_data(slot.parser(), data);
}
void cb_interrupt_packet(void* priv, std::uint64_t id, usb_redir_interrupt_packet_header* h,
                         std::uint8_t* data, int) {
    Slot& slot = slot_of(priv);
    usb_redir_interrupt_packet_header reply = *h;
    reply.status = usb_redir_inval;
    reply.length = 0;
    usbredirparser_send_interrupt_packet(slot.parser(), id, &reply, nullptr, 0);
    usbredirparser_free_packet_data(slot.parser(), data);
}
void cb_filter_reject(void*) {}
void cb_filter_filter(void*, usbredirfilter_rule* rules, int) {
    // The rules are ours to free; the bench's device is always what QEMU wants.
    usbredirfilter_free(rules);
}

// Packets only a host sends; the peer is QEMU, the guest side.
void cb_device_connect(void* priv, usb_redir_device_connect_header*) {
    slot_of(priv).unexpected("device_connect");
}
void cb_device_disconnect(void* priv) {
    slot_of(priv).unexpected("device_disconnect");
}
void cb_interface_info(void* priv, usb_redir_interface_info_header*) {
    slot_of(priv).unexpected("interface_info");
}
void cb_ep_info(void* priv, usb_redir_ep_info_header*) {
    slot_of(priv).unexpected("ep_info");
}
void cb_configuration_status(void* priv, std::uint64_t, usb_redir_configuration_status_header*) {
    slot_of(priv).unexpected("configuration_status");
}
void cb_alt_setting_status(void* priv, std::uint64_t, usb_redir_alt_setting_status_header*) {
    slot_of(priv).unexpected("alt_setting_status");
}
void cb_iso_stream_status(void* priv, std::uint64_t, usb_redir_iso_stream_status_header*) {
    slot_of(priv).unexpected("iso_stream_status");
}
void cb_interrupt_receiving_status(void* priv, std::uint64_t,
                                   usb_redir_interrupt_receiving_status_header*) {
    slot_of(priv).unexpected("interrupt_receiving_status");
}
void cb_bulk_streams_status(void* priv, std::uint64_t, usb_redir_bulk_streams_status_header*) {
    slot_of(priv).unexpected("bulk_streams_status");
}
void cb_bulk_receiving_status(void* priv, std::uint64_t, usb_redir_bulk_receiving_status_header*) {
    slot_of(priv).unexpected("bulk_receiving_status");
}
void cb_buffered_bulk_packet(void* priv, std::uint64_t, usb_redir_buffered_bulk_packet_header*,
                             std::uint8_t* data, int) {
    Slot& slot = slot_of(priv);
    slot.unexpected("buffered_bulk_packet");
    usbredirparser_free_packet_data(slot.parser(), data);
}

// Single-threaded: the parser needs no locks.
void* cb_alloc_lock() {
    return nullptr;
}
void cb_lock(void*) {}
void cb_unlock(void*) {}
void cb_free_lock(void*) {}

void set_callbacks(usbredirparser& parser) {
    parser.log_func = cb_log;
    parser.read_func = cb_read;
    parser.write_func = cb_write;
    parser.device_connect_func = cb_device_connect;
    parser.device_disconnect_func = cb_device_disconnect;
    parser.reset_func = cb_reset;
    parser.interface_info_func = cb_interface_info;
    parser.ep_info_func = cb_ep_info;
    parser.set_configuration_func = cb_set_configuration;
    parser.get_configuration_func = cb_get_configuration;
    parser.configuration_status_func = cb_configuration_status;
    parser.set_alt_setting_func = cb_set_alt_setting;
    parser.get_alt_setting_func = cb_get_alt_setting;
    parser.alt_setting_status_func = cb_alt_setting_status;
    parser.start_iso_stream_func = cb_start_iso_stream;
    parser.stop_iso_stream_func = cb_stop_iso_stream;
    parser.iso_stream_status_func = cb_iso_stream_status;
    parser.start_interrupt_receiving_func = cb_start_interrupt_receiving;
    parser.stop_interrupt_receiving_func = cb_stop_interrupt_receiving;
    parser.interrupt_receiving_status_func = cb_interrupt_receiving_status;
    parser.alloc_bulk_streams_func = cb_alloc_bulk_streams;
    parser.free_bulk_streams_func = cb_free_bulk_streams;
    parser.bulk_streams_status_func = cb_bulk_streams_status;
    parser.cancel_data_packet_func = cb_cancel_data_packet;
    parser.control_packet_func = cb_control_packet;
    parser.bulk_packet_func = cb_bulk_packet;
    parser.iso_packet_func = cb_iso_packet;
    parser.interrupt_packet_func = cb_interrupt_packet;
    parser.alloc_lock_func = cb_alloc_lock;
    parser.lock_func = cb_lock;
    parser.unlock_func = cb_unlock;
    parser.free_lock_func = cb_free_lock;
    parser.hello_func = cb_hello;
    parser.filter_reject_func = cb_filter_reject;
    parser.filter_filter_func = cb_filter_filter;
    parser.device_disconnect_ack_func = cb_device_disconnect_ack;
    parser.start_bulk_receiving_func = cb_start_bulk_receiving;
    parser.stop_bulk_receiving_func = cb_stop_bulk_receiving;
    parser.bulk_receiving_status_func = cb_bulk_receiving_status;
    parser.buffered_bulk_packet_func = cb_buffered_bulk_packet;
}

int listen_on(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        throw std::runtime_error("socket path too long: " + path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ::unlink(path.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 1) != 0) {
        const std::string why = std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        throw std::runtime_error("cannot listen on " + path + ": " + why);
    }
    return fd;
}

} // namespace

// ---- EventLog

EventLog::EventLog(const std::string& path) : file_(std::fopen(path.c_str(), "w")) {
    if (!file_)
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    clock_gettime(CLOCK_MONOTONIC, &start_);
}

EventLog::~EventLog() {
    std::fclose(file_);
}

std::string EventLog::now() const {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long micros = (now.tv_sec - start_.tv_sec) * kMicrosecondsPerSecond +
                             (now.tv_nsec - start_.tv_nsec) / kNanosecondsPerMicrosecond;
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%lld.%06lld", micros / kMicrosecondsPerSecond,
                  micros % kMicrosecondsPerSecond);
    return stamp;
}

void EventLog::note(std::size_t slot, const std::string& name, const std::string& what) {
    const std::string line = now() + " slot=" + std::to_string(slot) +
                             " name=" + (name.empty() ? "-" : name) + " " + what + "\n";
    std::fputs(line.c_str(), file_);
    std::fflush(file_);
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
}

// ---- Slot: connection

Slot::Slot(std::size_t index, Bench& bench, const std::string& socket_path, std::string out_dir,
           EventLog& events, std::set<std::string>& used_names)
    : index_(index), bench_(bench), out_dir_(std::move(out_dir)), events_(events),
      used_names_(used_names), listen_fd_(listen_on(socket_path)) {}

Slot::~Slot() {
    close_client();
    if (listen_fd_ >= 0)
        ::close(listen_fd_);
}

void Slot::note(const std::string& what) {
    events_.note(index_, device_ ? device_->name : std::string(), what);
}

bool Slot::wants_write() const {
    return parser_ && usbredirparser_has_data_to_write(parser_) > 0;
}

void Slot::accept_client() {
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return;
    if (client_fd_ >= 0) {
        note("refused a second connection");
        ::close(fd);
        return;
    }
    client_fd_ = fd;
    client_failed_ = false;
    open_parser();
    note("qemu connected");
}

void Slot::open_parser() {
    parser_ = usbredirparser_create();
    if (!parser_)
        throw std::runtime_error("usbredirparser_create failed");
    parser_->priv = this;
    set_callbacks(*parser_);
    // QEMU's xHCI wants max packet sizes, 64-bit ids and 32-bit bulk lengths.
    std::uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
    for (int cap : {usb_redir_cap_connect_device_version, usb_redir_cap_filter,
                    usb_redir_cap_device_disconnect_ack, usb_redir_cap_ep_info_max_packet_size,
                    usb_redir_cap_32bits_bulk_length, usb_redir_cap_64bits_ids})
        usbredirparser_caps_set_cap(caps, cap);
    usbredirparser_init(parser_, kVersion, caps, USB_REDIR_CAPS_SIZE, usbredirparser_fl_usb_host);
}

void Slot::close_client() {
    if (parser_)
        usbredirparser_destroy(parser_);
    parser_ = nullptr;
    if (client_fd_ >= 0)
        ::close(client_fd_);
    client_fd_ = -1;
    peer_hello_ = false;
    awaiting_disconnect_ack_ = false;
    configuration_ = 0;
    if (device_) {
        device_->connected = false;
        device_->unanswered_id.reset();
        device_->held.clear();
        device_->busy.reset();
    }
}

void Slot::on_readable() {
    if (!parser_)
        return;
    const int result = usbredirparser_do_read(parser_);
    if (client_failed_ || result == usbredirparser_read_io_error) {
        note("qemu disconnected");
        close_client();
        return;
    }
    on_writable();
}

void Slot::on_writable() {
    // A full socket leaves the rest queued; poll says when it drains.
    if (!parser_ || usbredirparser_has_data_to_write(parser_) == 0)
        return;
    if (usbredirparser_do_write(parser_) != 0 || client_failed_) {
        note("qemu disconnected");
        close_client();
    }
}

int Slot::read_bytes(std::uint8_t* data, int count) {
    const ssize_t n = ::read(client_fd_, data, static_cast<std::size_t>(count));
    if (n > 0)
        return static_cast<int>(n);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return 0;
    client_failed_ = true; // end of stream or a socket error
    return -1;
}

int Slot::write_bytes(std::uint8_t* data, int count) {
    if (count == 0)
        return 0;
    const ssize_t n = ::send(client_fd_, data, static_cast<std::size_t>(count), MSG_NOSIGNAL);
    if (n >= 0)
        return static_cast<int>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return 0;
    client_failed_ = true;
    return -1;
}

void Slot::parser_log(int level, const char* message) {
    if (level <= usbredirparser_warning)
        note(std::string("usbredir: ") + message);
}

void Slot::unexpected(const char* what) {
    note(std::string("ignored unexpected ") + what + " from qemu");
}

void Slot::hello(usb_redir_hello_header*) {
    peer_hello_ = true;
    if (device_ && !device_->connected)
        connect_device();
}

void Slot::device_disconnect_ack() {
    awaiting_disconnect_ack_ = false;
    if (device_ && !device_->connected)
        connect_device();
}

// ---- Slot: the device on the bus

void Slot::send_interface_and_endpoints() {
    if (!device_)
        return;
    const Presentation looks = presentation(*device_->part);
    usb_redir_interface_info_header interfaces{};
    interfaces.interface_count = 1;
    interfaces.interface[0] = kDfuInterfaceNumber;
    interfaces.interface_class[0] = looks.interface_class;
    interfaces.interface_subclass[0] = looks.interface_subclass;
    interfaces.interface_protocol[0] = looks.interface_protocol;
    usbredirparser_send_interface_info(parser_, &interfaces);

    usb_redir_ep_info_header endpoints{};
    std::fill(std::begin(endpoints.type), std::end(endpoints.type),
              static_cast<std::uint8_t>(usb_redir_type_invalid));
    for (std::size_t ep : {std::size_t{0}, kEp0In}) {
        endpoints.type[ep] = usb_redir_type_control;
        endpoints.max_packet_size[ep] = looks.control_packet_size;
    }
    static_assert(std::size(endpoints.type) == kEndpointSlots);
    usbredirparser_send_ep_info(parser_, &endpoints);
}

void Slot::connect_device() {
    if (!parser_ || !peer_hello_ || awaiting_disconnect_ack_ || !device_)
        return;
    send_interface_and_endpoints();
    const DeviceDescriptor descriptor = device_descriptor(*device_->part);
    usb_redir_device_connect_header connect{};
    connect.speed = usb_redir_speed_full;
    connect.device_class = descriptor.bDeviceClass;
    connect.device_subclass = descriptor.bDeviceSubClass;
    connect.device_protocol = descriptor.bDeviceProtocol;
    connect.vendor_id = descriptor.idVendor;
    connect.product_id = descriptor.idProduct;
    connect.device_version_bcd = descriptor.bcdDevice;
    usbredirparser_send_device_connect(parser_, &connect);
    device_->connected = true;
    configuration_ = 0;
    note("connected");
}

void Slot::plug(const Command& command) {
    if (device_)
        throw CommandError("slot " + std::to_string(index_) + " already holds " + device_->name);
    for (const Fault& fault : command.faults) {
        if (!has_meaning_on_a_real_bus(fault.kind))
            throw CommandError(std::string("fault ") + fault_name(fault.kind) +
                               " acts on the library stand-ins, not on a real bus");
    }
    std::string name = command.name;
    if (name.empty())
        name = "slot" + std::to_string(index_) + "-" + std::to_string(plug_count_ + 1);
    if (used_names_.count(name))
        throw CommandError("device name " + name + " was used before; its files would be lost");
    const parts::Part& part = *command.part;
    // The start contents go into a model of the part first, so that a file too large is
    // refused before anything is on the bus.
    FlipDevice start(part);
    load_start(start, MemoryUnit::Flash, "flash", command.flash);
    load_start(start, MemoryUnit::Eeprom, "EEPROM", command.eeprom);

    SimDevice& sim = bench_.plug(kBenchBus, static_cast<int>(index_) + 1, part);
    sim.flip()->load(MemoryUnit::Flash, 0, start.flash());
    sim.flip()->load(MemoryUnit::Eeprom, 0, start.eeprom());
    for (const Fault& fault : command.faults)
        sim.add_fault(fault);
    bench_.find_busses();
    bench_.find_devices();
    usb_dev_handle* handle = nullptr;
    for (usb_bus* bus = bench_.busses(); bus && !handle; bus = bus->next) {
        for (struct usb_device* node = bus->devices; node && !handle; node = node->next) {
            if (std::atoi(bus->dirname) == kBenchBus && node->devnum == index_ + 1)
                handle = bench_.open(node);
        }
    }
    if (!handle)
        throw std::logic_error("bench device not found after plugging it");
    // The guest's kernel keeps programs to the interface; here the front end is its only user.
    bench_.claim(handle, 0);

    used_names_.insert(name);
    ++plug_count_;
    device_.emplace();
    device_->part = &part;
    device_->name = name;
    device_->sim = &sim;
    device_->handle = handle;
    device_->slow_ms = command.slow_ms;
    note(std::string("plugged part=") + part.name +
         (command.slow_ms ? " slow=" + std::to_string(command.slow_ms) : ""));
    connect_device();
}

void Slot::set_slow(unsigned ms) {
    if (!device_)
        throw CommandError("slot " + std::to_string(index_) + " holds no device");
    device_->slow_ms = ms;
    note("slow=" + std::to_string(ms));
}

void Slot::unplug() {
    if (!device_)
        throw CommandError("slot " + std::to_string(index_) + " holds no device");
    bench_.unplug(*device_->sim);
    leave_bus("unplugged");
}

void Slot::save() {
    if (!device_)
        throw CommandError("slot " + std::to_string(index_) + " holds no device");
    write_files();
    note("saved " + tally());
}

// What the device has done so far: its class and vendor requests and the time the part was busy
// with them.
std::string Slot::tally() const {
    return "requests=" + std::to_string(device_->sim->log().size()) +
           " busy_us=" + std::to_string(device_->busy_us);
}

void Slot::write_files() const {
    const std::string stem = out_dir_ + "/" + device_->name;
    const FlipDevice& flip = *device_->sim->flip();
    write_atomically(stem + ".flash", as_string(flip.flash()));
    write_atomically(stem + ".eeprom", as_string(flip.eeprom()));
    std::string log, times;
    for (const LogEntry& entry : device_->sim->log()) {
        log += format_log_line(entry) + "\n";
        times += std::to_string(entry.n) + " " + device_->taken_at.at(entry.n) + " " +
                 std::to_string(entry.busy_us) + "\n";
    }
    write_atomically(stem + ".log", log);
    write_atomically(stem + ".times", times);
}

// The device is off the bench's bus: tell QEMU, keep its files, free the slot.
void Slot::leave_bus(const char* why) {
    if (device_->connected && parser_) {
        usbredirparser_send_device_disconnect(parser_);
        awaiting_disconnect_ack_ =
            usbredirparser_peer_has_cap(parser_, usb_redir_cap_device_disconnect_ack) != 0;
    }
    write_files();
    note(std::string(why) + " " + tally());
    bench_.release(device_->handle, 0);
    bench_.close(device_->handle);
    device_.reset();
}

// ---- Slot: requests

void Slot::reset() {
    // A bus reset leaves a bootloader in its bootloader, unconfigured.
    configuration_ = 0;
}

void Slot::set_configuration(std::uint64_t id, usb_redir_set_configuration_header* header) {
    usb_redir_configuration_status_header status{usb_redir_success, configuration_};
    if (header->configuration == 0 || header->configuration == kConfigurationValue) {
        configuration_ = header->configuration;
        status.configuration = configuration_;
        send_interface_and_endpoints();
    } else {
        status.status = usb_redir_stall;
    }
    usbredirparser_send_configuration_status(parser_, id, &status);
}

void Slot::get_configuration(std::uint64_t id) {
    usb_redir_configuration_status_header status{usb_redir_success, configuration_};
    usbredirparser_send_configuration_status(parser_, id, &status);
}

void Slot::set_alt_setting(std::uint64_t id, usb_redir_set_alt_setting_header* header) {
    const bool known = header->interface == kDfuInterfaceNumber && header->alt == 0;
    usb_redir_alt_setting_status_header status{
        static_cast<std::uint8_t>(known ? usb_redir_success : usb_redir_stall), header->interface,
        0};
    if (known)
        send_interface_and_endpoints();
    usbredirparser_send_alt_setting_status(parser_, id, &status);
}

void Slot::get_alt_setting(std::uint64_t id, usb_redir_get_alt_setting_header* header) {
    const bool known = header->interface == kDfuInterfaceNumber;
    usb_redir_alt_setting_status_header status{
        static_cast<std::uint8_t>(known ? usb_redir_success : usb_redir_inval), header->interface,
        static_cast<std::uint8_t>(known ? 0 : 0xFF)};
    usbredirparser_send_alt_setting_status(parser_, id, &status);
}

void Slot::cancel_data_packet(std::uint64_t id) {
    if (!device_)
        return;
    auto& held = device_->held;
    const auto it =
        std::find_if(held.begin(), held.end(), [id](const Held& h) { return h.id == id; });
    if (it != held.end()) {
        reply(id, it->request, usb_redir_cancelled);
        held.erase(it);
        note("the host cancelled a held request");
        return;
    }
    if (device_->busy && device_->busy->id == id) {
        reply(id, device_->busy->request, usb_redir_cancelled);
        device_->busy.reset();
        note("the host cancelled a request the part was busy with");
        return;
    }
    if (device_->unanswered_id != id)
        return; // already answered
    device_->unanswered_id.reset();
    reply(id, device_->unanswered, usb_redir_cancelled);
    note("the host cancelled the unanswered request");
}

void Slot::reply(std::uint64_t id, usb_redir_control_packet_header header, std::uint8_t status,
                 const std::vector<std::uint8_t>& in) {
    header.status = status;
    const bool device_to_host = (header.endpoint & kDirectionIn) != 0;
    if (device_to_host) {
        header.length = static_cast<std::uint16_t>(in.size());
        usbredirparser_send_control_packet(parser_, id, &header,
                                           const_cast<std::uint8_t*>(in.data()),
                                           static_cast<int>(in.size()));
    } else {
        if (status != usb_redir_success)
            header.length = 0;
        usbredirparser_send_control_packet(parser_, id, &header, nullptr, 0);
    }
}

void Slot::control_packet(std::uint64_t id, usb_redir_control_packet_header* header,
                          const std::uint8_t* data, int data_len) {
    if (!device_) {
        reply(id, *header, usb_redir_ioerror);
        return;
    }
    if ((header->requesttype & kTypeMask) == kTypeStandard) {
        standard_request(id, *header);
        return;
    }
    std::vector<std::uint8_t> bytes;
    if (data && data_len > 0)
        bytes.assign(data, data + data_len);
    if (device_->slow_ms > 0 || !device_->held.empty() || device_->busy) {
        const auto due = Clock::now() + std::chrono::milliseconds(device_->slow_ms);
        device_->held.push_back(Held{id, *header, std::move(bytes), due});
        return;
    }
    model_request(id, *header, bytes);
}

std::optional<Slot::Clock::time_point> Slot::next_due() const {
    if (!device_)
        return std::nullopt;
    if (device_->busy)
        return device_->busy->due;
    if (device_->held.empty())
        return std::nullopt;
    return device_->held.front().due;
}

// The part finishes what it is busy with before it takes the next request.
void Slot::on_timer() {
    while (device_) {
        const auto due = next_due();
        if (!due || *due > Clock::now())
            return;
        if (device_->busy) {
            const Busy done = std::move(*device_->busy);
            device_->busy.reset();
            reply(done.id, done.request, done.status, done.in);
            continue;
        }
        const Held next = std::move(device_->held.front());
        device_->held.pop_front();
        model_request(next.id, next.request, next.data);
    }
}

void Slot::standard_request(std::uint64_t id, usb_redir_control_packet_header request) {
    const bool device_to_host = (request.requesttype & kDirectionIn) != 0;
    if (device_to_host && request.request == kGetDescriptor) {
        const auto bytes =
            descriptor(*device_->part, static_cast<std::uint8_t>(request.value >> 8),
                       static_cast<std::uint8_t>(request.value & 0xFF), device_->name);
        if (!bytes) {
            reply(id, request, usb_redir_stall);
            return;
        }
        std::vector<std::uint8_t> in(*bytes);
        in.resize(std::min<std::size_t>(in.size(), request.length));
        reply(id, request, usb_redir_success, in);
        return;
    }
    if (device_to_host && request.request == kGetStatus) {
        // Bus powered, no remote wake-up, no halted endpoint.
        std::vector<std::uint8_t> in(std::min<std::size_t>(kStatusBytes, request.length), 0);
        reply(id, request, usb_redir_success, in);
        return;
    }
    reply(id, request, usb_redir_stall);
}

// Class and vendor requests: the device model's, through the bench.
void Slot::model_request(std::uint64_t id, usb_redir_control_packet_header request,
                         const std::vector<std::uint8_t>& data) {
    const bool device_to_host = (request.requesttype & kDirectionIn) != 0;
    std::vector<std::uint8_t> bytes;
    if (device_to_host)
        bytes.resize(request.length);
    else
        bytes = data;
    device_->taken_at.push_back(events_.now());
    const int rc = bench_.control(
        device_->handle, request.requesttype, request.request, request.value, request.index,
        reinterpret_cast<char*>(bytes.data()), static_cast<int>(bytes.size()), kRequestTimeoutMs);
    const std::uint64_t busy_us = device_->sim->log().back().busy_us; // the model's for it
    if (device_->sim->log().size() == 1)
        note("first request");
    if (rc == -ETIMEDOUT) {
        device_->unanswered_id = id;
        device_->unanswered = request;
    } else {
        std::uint8_t status = usb_redir_success;
        bytes.resize(device_to_host && rc >= 0 ? static_cast<std::size_t>(rc) : 0);
        if (rc < 0)
            status = rc == -EPIPE ? usb_redir_stall : usb_redir_ioerror;
        const bool start_command = rc >= 0 && !device_to_host && data.size() >= 2 &&
                                   data[0] == kFlipGroupStart && data[1] == kFlipStartCommand;
        if (start_command)
            note("started");
        // A device that has left answers nothing more; its last reply goes out at once.
        if (busy_us > 0 && device_->sim->on_bus()) {
            device_->busy_us += busy_us;
            const auto due = Clock::now() + std::chrono::microseconds(busy_us);
            device_->busy = Busy{id, request, status, std::move(bytes), due};
        } else {
            reply(id, request, status, bytes);
        }
    }
    if (!device_->sim->on_bus())
        leave_bus("left");
}

} // namespace sim::usbredir
