// The simulated device (sim/device/): the bootloader model here, its faults in fault.h, the
// time its part takes in flip_timing.h.
//
// Model of an Atmel USB bootloader speaking DFU 1.1 with Atmel's FLIP command set, for one
// part of the table in parts/parts.h: protocol 1 (megaAVR) or protocol 2 (XMEGA) framing and
// commands, that part's memory sizes, signature and time. It knows nothing about libusb: the
// bench feeds it setup packets and payloads and turns its replies into libusb results.
//
// Behaviour worth knowing when reading logs, on both protocols:
// - wValue is ignored (hosts put a block counter there); wIndex must be 0.
// - DNLOAD and UPLOAD are accepted from dfuIDLE, dfuDNLOAD-IDLE and
//   dfuUPLOAD-IDLE; only dfuERROR refuses them (until DFU_CLRSTATUS).
// - An upload that delivers fewer bytes than wLength ends the upload and
//   returns to dfuIDLE; a full-length one leaves the device in dfuUPLOAD-IDLE.
//   Each upload consumes the queued read.
// - The page (64 KiB of addresses) is selected on its own; it is checked against the memory
//   when a program or read command uses it.
// - After a start-application command (04 03 00, or 04 03 01 with or without a jump address),
//   the next DFU_DNLOAD of any content is acknowledged without being carried out and the
//   device leaves the bus.
// - Commands are as long as they need to be: erase (04 00 FF) and start
//   (04 03 mode) are complete after three bytes.
// - Chip erase (04 00 FF) empties the application flash; the EEPROM keeps its contents.
// - A blank check (03 01 range) that finds a programmed byte reports errCHECK_ERASED in the
//   status (state dfuDNLOAD-IDLE) and queues its address for the next upload.
// - DFU_ABORT returns to dfuIDLE and drops a queued read; in dfuERROR it stalls.
// - A program command (01 ...) fills the first control packet (the endpoint's size); its data
//   follow at the start address's offset within a packet (start % packet size), padded to a
//   whole packet or not; the 16-byte DFU suffix after them is optional. A command carries at
//   most the bootloader's buffer.
//
// Protocol 2 (XMEGA, 64-byte control packets):
// - The memory unit is selected (06 03 00 unit) apart from the page (06 03 01 PH PL); program
//   (01 00) and read (03 00) commands act on the selected unit.
// - Besides flash and EEPROM, the bootloader (unit 4: version, ID1, ID2) and signature
//   (unit 5: the part's 3 signature bytes and the revision) units can be read; programming
//   them fails with errWRITE.
// - Programming erases each page it touches first, so a page holds exactly the data written.
//
// Protocol 1 (megaAVR, 32-byte control packets):
// - The command names the memory: 01 00 programs flash, 01 01 EEPROM; 03 00 reads flash, 03 02
//   EEPROM, 03 01 blank-checks flash. The page selects flash addresses only.
// - 05 00 00/01/02 and 05 01 30/31/60/61 queue one configuration byte for the next upload.
// - The flash is the whole flash, the bootloader's code at its top: it reads as programmed
//   and programming it fails with errADDRESS.
// - The security lock: from reset until a chip erase, every command but the configuration
//   reads and the chip erase is refused (stall, errWRITE).
// - Programming only clears bits (new = old AND data): a page that is not erased first does
//   not take the data.
#pragma once

#include "parts/parts.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct FlipTiming;

// The default part's (atxmega32a4u) sizes and product ID, for code that knows only that part.
constexpr std::size_t kFlashSize = 32 * 1024;
constexpr std::size_t kEepromSize = 1024;
constexpr std::uint8_t kErasedByte = 0xFF;

constexpr std::uint16_t kAtmelVendorId = parts::ATMEL_VENDOR;
constexpr std::uint16_t kFlipProductId = 0x2FE4;

constexpr std::uint8_t kDfuRequestTypeOut = 0x21; // class, interface, host to device
constexpr std::uint8_t kDfuRequestTypeIn = 0xA1;  // class, interface, device to host
constexpr std::uint8_t kDfuDnload = 1;
constexpr std::uint8_t kDfuUpload = 2;
constexpr std::uint8_t kDfuGetStatus = 3;
constexpr std::uint8_t kDfuClrStatus = 4;
constexpr std::uint8_t kDfuAbort = 6;

enum class DfuState : std::uint8_t {
    Idle = 2,
    DnloadIdle = 5,
    UploadIdle = 9,
    Error = 10,
};

enum class DfuStatus : std::uint8_t {
    Ok = 0x00,
    ErrTarget = 0x01,
    ErrWrite = 0x03,
    ErrCheckErased = 0x05,
    ErrAddress = 0x08,
    ErrUnknown = 0x0E,
    ErrStalledPkt = 0x0F,
};

// Protocol 2's selectable units; protocol 1 reaches flash and EEPROM through its commands.
enum class MemoryUnit : std::uint8_t { Flash = 0, Eeprom = 1, Bootloader = 4, Signature = 5 };

// What sets the two bootloaders apart, beside the part's sizes.
struct FlipProtocol {
    int protocol;
    // EP0's packet size: a program command's header fills one packet, its data align to it.
    std::size_t control_packet_size;
    // The most data one program command may carry: the bootloader's buffer.
    std::size_t max_program_data;
    // The megaAVR security lock: from reset until a chip erase.
    bool locked_after_reset;
    // XMEGA erases each page it programs; megaAVR programming only clears bits.
    bool erases_pages_it_programs;
    // The bootloader's version, ID1 and ID2.
    std::uint8_t bootloader[3];
};

constexpr FlipProtocol kFlipProtocols[] = {
    // The IDs Atmel's megaAVR DFU bootloaders report.
    {parts::PROTOCOL_1, 32, 1024, true, false, {0x00, 0xDC, 0xFB}},
    {parts::PROTOCOL_2, 64, 2048, false, true, {0x00, 0x00, 0x00}},
};

// The part of that name; throws std::invalid_argument "unknown part '<name>' (known: ...)".
const parts::Part& part_named(const std::string& name);
// The first part whose bootloader has this Atmel product ID, or null.
const parts::Part* part_with_product(std::uint16_t product);

// The protocol-2 signature unit's fourth byte.
constexpr std::uint8_t kRevision = 0x06; // silicon revision G

// Setup packet fields of one control request.
struct Setup {
    std::uint8_t request_type = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;
};

struct Reply {
    enum class Outcome { Ack, Stall, Gone };
    Outcome outcome = Outcome::Ack;
    std::vector<std::uint8_t> data; // device-to-host bytes, for IN requests
    // How long the part is busy carrying the request out (page writes, erase, EEPROM writes),
    // beyond the bus; 0 for requests that cost it nothing more.
    std::uint64_t busy_us = 0;
};

class FlipDevice {
  public:
    explicit FlipDevice(const parts::Part& part = parts::default_part());

    const parts::Part& part() const { return *part_; }
    // The control endpoint's packet size, as the device descriptor gives it.
    std::size_t control_packet_size() const { return protocol_->control_packet_size; }

    // Carries out one control request. `request_index` is the position of the
    // request in the device's log; the device-level faults are keyed on it.
    // `out` holds the host-to-device bytes (wLength of them).
    Reply handle(std::size_t request_index, const Setup& setup,
                 const std::vector<std::uint8_t>& out);

    // Puts the device into dfuERROR as a stalled request does.
    void fail(DfuStatus status);

    // Sets initial memory contents; throws std::out_of_range if they do not fit.
    void load(MemoryUnit unit, std::size_t offset, const std::vector<std::uint8_t>& bytes);

    // All of the flash: protocol 1's includes the bootloader at its top.
    const std::vector<std::uint8_t>& flash() const { return flash_; }
    const std::vector<std::uint8_t>& eeprom() const { return eeprom_; }

    DfuState state() const { return state_; }
    DfuStatus status() const { return status_; }
    MemoryUnit selected_unit() const { return unit_; }
    bool left_bus() const { return left_bus_; }
    // Protocol 1's security lock is on.
    bool locked() const { return locked_; }

    // Puts protocol 1's security lock on or takes it off, as a scenario's device arrives.
    void set_locked(bool on) { locked_ = on; }
    // Programming only clears bits (new = old AND data) and nothing is erased.
    void set_no_erase(bool on) { no_erase_ = on; }
    // Flash writes carried by this request and later are acknowledged but do not take.
    void set_stuck_from(std::size_t request_index) { stuck_from_ = request_index; }
    // This request fails internally: dfuERROR/errTARGET without a stall.
    void set_bad_status_at(std::size_t request_index) { bad_status_at_ = request_index; }

  private:
    struct PendingRead {
        MemoryUnit unit;
        std::size_t start;
        std::size_t length;
    };

    Reply download(std::size_t request_index, const std::vector<std::uint8_t>& out);
    bool allowed_while_locked(const std::vector<std::uint8_t>& out) const;
    // Memory unit (protocol 2) and page selection.
    Reply select(const std::vector<std::uint8_t>& out);
    Reply select_page(std::size_t page);
    Reply program(std::size_t request_index, const std::vector<std::uint8_t>& out);
    // Whether a program command of `size` bytes whose data end at `data_end` is framed right.
    bool framed_size(std::size_t size, std::size_t data_end) const;
    Reply program_memory(std::size_t request_index, MemoryUnit unit, std::size_t first,
                         const std::uint8_t* data, std::size_t length);
    // Read memory (03 00 range, protocol 1's 03 02 too) and blank check (03 01 range).
    Reply queue_read(const std::vector<std::uint8_t>& out);
    Reply blank_check(MemoryUnit unit, std::size_t first, std::size_t length);
    // Protocol 1's configuration reads (05 ...).
    Reply read_configuration(const std::vector<std::uint8_t>& out);
    // Chip erase (04 00 FF) and start of the application (04 03 mode).
    Reply execute(std::size_t request_index, const std::vector<std::uint8_t>& out);
    Reply erase_chip(std::size_t request_index);
    Reply upload(const Setup& setup);
    Reply get_status(const Setup& setup) const;
    Reply clear_status();
    Reply abort();
    Reply reject(DfuStatus status);
    Reply accept_download();

    // The memory a program (01) or read (03) command acts on: protocol 1's command names it,
    // protocol 2's acts on the selected unit.
    std::optional<MemoryUnit> program_target(std::uint8_t command) const;
    std::optional<MemoryUnit> read_target(std::uint8_t command) const;
    std::vector<std::uint8_t>& memory(MemoryUnit unit);
    const std::vector<std::uint8_t>& memory(MemoryUnit unit) const;
    // Absolute offset of a 16-bit address of the unit within the selected page.
    std::size_t absolute(MemoryUnit unit, std::uint16_t address) const;
    bool in_memory(MemoryUnit unit, std::size_t start, std::size_t length) const;
    // The flash below the bootloader: all of it on protocol 2.
    std::size_t application_size() const { return part_->application_size(); }
    void write_flash(std::size_t start, const std::uint8_t* data, std::size_t length);
    // The part's time for programming the range, page by page or EEPROM unit by unit.
    std::uint64_t programming_us(MemoryUnit unit, std::size_t first, std::size_t length) const;

    const parts::Part* part_;
    const FlipProtocol* protocol_;
    const FlipTiming* timing_;
    std::vector<std::uint8_t> flash_;
    std::vector<std::uint8_t> eeprom_;
    std::vector<std::uint8_t> bootloader_;
    std::vector<std::uint8_t> signature_;
    MemoryUnit unit_ = MemoryUnit::Flash;
    std::size_t page_ = 0;
    DfuState state_ = DfuState::Idle;
    DfuStatus status_ = DfuStatus::Ok;
    bool locked_ = false;
    std::optional<PendingRead> pending_read_;
    std::optional<std::vector<std::uint8_t>> pending_answer_; // served by the next upload
    bool start_pending_ = false;
    bool left_bus_ = false;
    bool no_erase_ = false;
    std::optional<std::size_t> stuck_from_;
    std::optional<std::size_t> bad_status_at_;
};

} // namespace sim
