// The simulated device (sim/device/): the bootloader model here, its faults in fault.h.
//
// Model of an XMEGA-class USB bootloader speaking DFU 1.1 with Atmel's FLIP
// command set (protocol version 2). It knows nothing about libusb: the bench
// feeds it setup packets and payloads and turns its replies into libusb results.
//
// Behaviour worth knowing when reading logs:
// - wValue is ignored (hosts put a block counter there); wIndex must be 0.
// - DNLOAD and UPLOAD are accepted from dfuIDLE, dfuDNLOAD-IDLE and
//   dfuUPLOAD-IDLE; only dfuERROR refuses them (until DFU_CLRSTATUS).
// - An upload that delivers fewer bytes than wLength ends the upload and
//   returns to dfuIDLE; a full-length one leaves the device in dfuUPLOAD-IDLE.
//   Each upload consumes the queued read.
// - The memory unit and the page are selected independently; the page is
//   checked against the memory when a program or read command uses it.
// - After a start-application command, the next DFU_DNLOAD of any content is
//   acknowledged without being carried out and the device leaves the bus.
// - Commands are as long as they need to be: erase (04 00 FF) and start
//   (04 03 mode) are complete after three bytes.
// - Chip erase empties the application flash; the EEPROM keeps its contents.
// - Select commands are complete after four bytes (06 03 00 unit).
// - A blank check that finds a programmed byte reports errCHECK_ERASED in the
//   status (state dfuDNLOAD-IDLE) and queues its address for the next upload.
// - DFU_ABORT returns to dfuIDLE and drops a queued read; in dfuERROR it stalls.
// - A program command's data follow the 64-byte command packet at the start
//   address's offset within a packet (start % 64); the 16-byte DFU suffix
//   after them is optional.
// - Besides flash and EEPROM, the bootloader (unit 4: version, ID1, ID2) and
//   signature (unit 5: the ATxmega32A4U's 1E 95 41 and the revision) units
//   can be selected and read; programming them fails with errWRITE.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace sim {

constexpr std::size_t kFlashSize = 32 * 1024;
constexpr std::size_t kEepromSize = 1024;
constexpr std::size_t kFlashPageSize = 256;
constexpr std::uint8_t kErasedByte = 0xFF;

constexpr std::uint16_t kAtmelVendorId = 0x03EB;
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

enum class MemoryUnit : std::uint8_t { Flash = 0, Eeprom = 1, Bootloader = 4, Signature = 5 };

// The read-only units' contents. The flash and EEPROM sizes are an
// ATxmega32A4U's, so it is the part whose signature the model answers with.
constexpr std::uint8_t kBootloaderVersion = 0x00;
constexpr std::uint8_t kBootloaderId1 = 0x00;
constexpr std::uint8_t kBootloaderId2 = 0x00;
constexpr std::uint8_t kSignature[] = {0x1E, 0x95, 0x41};
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
};

class FlipDevice {
  public:
    FlipDevice();

    // Carries out one control request. `request_index` is the position of the
    // request in the device's log; the device-level faults are keyed on it.
    // `out` holds the host-to-device bytes (wLength of them).
    Reply handle(std::size_t request_index, const Setup& setup,
                 const std::vector<std::uint8_t>& out);

    // Puts the device into dfuERROR as a stalled request does.
    void fail(DfuStatus status);

    // Sets initial memory contents; throws std::out_of_range if they do not fit.
    void load(MemoryUnit unit, std::size_t offset, const std::vector<std::uint8_t>& bytes);

    const std::vector<std::uint8_t>& flash() const { return flash_; }
    const std::vector<std::uint8_t>& eeprom() const { return eeprom_; }

    DfuState state() const { return state_; }
    DfuStatus status() const { return status_; }
    MemoryUnit selected_unit() const { return unit_; }
    bool left_bus() const { return left_bus_; }

    // Programming only clears bits (new = old AND data) and pages are not erased.
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
    Reply select(const std::vector<std::uint8_t>& out);
    Reply program(std::size_t request_index, const std::vector<std::uint8_t>& out);
    // Read memory (03 00 range) and blank check (03 01 range).
    Reply queue_read(const std::vector<std::uint8_t>& out);
    Reply blank_check(std::size_t first, std::size_t length);
    // Chip erase (04 00 FF) and start of the application (04 03 mode).
    Reply execute(std::size_t request_index, const std::vector<std::uint8_t>& out);
    Reply upload(const Setup& setup);
    Reply get_status(const Setup& setup) const;
    Reply clear_status();
    Reply abort();
    Reply reject(DfuStatus status);
    Reply accept_download();

    std::vector<std::uint8_t>& memory(MemoryUnit unit);
    const std::vector<std::uint8_t>& memory(MemoryUnit unit) const;
    // Absolute offset of a 16-bit address within the selected page.
    std::size_t absolute(std::uint16_t address) const;
    bool in_memory(MemoryUnit unit, std::size_t start, std::size_t length) const;
    void write_flash(std::size_t start, const std::uint8_t* data, std::size_t length);

    std::vector<std::uint8_t> flash_;
    std::vector<std::uint8_t> eeprom_;
    std::vector<std::uint8_t> bootloader_;
    std::vector<std::uint8_t> signature_;
    MemoryUnit unit_ = MemoryUnit::Flash;
    std::uint8_t page_ = 0;
    DfuState state_ = DfuState::Idle;
    DfuStatus status_ = DfuStatus::Ok;
    std::optional<PendingRead> pending_read_;
    std::optional<std::vector<std::uint8_t>> pending_answer_; // served by the next upload
    bool start_pending_ = false;
    bool left_bus_ = false;
    bool no_erase_ = false;
    std::optional<std::size_t> stuck_from_;
    std::optional<std::size_t> bad_status_at_;
};

} // namespace sim
