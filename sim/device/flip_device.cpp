#include "flip_device.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace sim {
namespace {

constexpr std::uint16_t kDfuInterface = 0;

constexpr std::uint8_t kGroupProgram = 0x01;
constexpr std::uint8_t kGroupRead = 0x03;
constexpr std::uint8_t kGroupExecute = 0x04;
constexpr std::uint8_t kGroupSelect = 0x06;

constexpr std::uint8_t kProgramStart = 0x00;
constexpr std::uint8_t kReadMemory = 0x00;
constexpr std::uint8_t kBlankCheck = 0x01;
constexpr std::uint8_t kEraseCommand = 0x00;
constexpr std::uint8_t kEraseChip = 0xFF;
constexpr std::uint8_t kStartCommand = 0x03;
constexpr std::uint8_t kStartWithReset = 0x00;
constexpr std::uint8_t kStartNoReset = 0x01;
constexpr std::uint8_t kSelectCommand = 0x03;
constexpr std::uint8_t kSelectUnit = 0x00;
constexpr std::uint8_t kSelectPage = 0x01;

constexpr std::size_t kCommandSize = 6;
// Group, command, what to select and its value: 06 03 00 unit, 06 03 01 page.
constexpr std::size_t kSelectCommandSize = 4;
// Group, command and first argument: erase and start need no more.
constexpr std::size_t kShortestCommandSize = 3;
// EP0's packet size: a program command's data are aligned to it.
constexpr std::size_t kControlPacketSize = 64;
constexpr std::size_t kProgramHeaderSize = kControlPacketSize;
constexpr std::size_t kProgramTrailerSize = 16; // the DFU suffix
// Each selectable page spans the full 16-bit address range of the commands.
constexpr std::size_t kPageSpan = 0x10000;

struct [[gnu::packed]] FlipCommand {
    std::uint8_t group;
    std::uint8_t command;
    std::uint8_t arg[4];
};
static_assert(sizeof(FlipCommand) == kCommandSize);

// Program and read commands carry an inclusive big-endian address range.
struct [[gnu::packed]] RangeCommand {
    std::uint8_t group;
    std::uint8_t command;
    std::uint8_t start_hi;
    std::uint8_t start_lo;
    std::uint8_t end_hi;
    std::uint8_t end_lo;
};
static_assert(sizeof(RangeCommand) == kCommandSize);

struct [[gnu::packed]] ProgramHeader {
    RangeCommand range;
    std::uint8_t reserved[kProgramHeaderSize - sizeof(RangeCommand)];
};
static_assert(sizeof(ProgramHeader) == kProgramHeaderSize);

struct [[gnu::packed]] StatusReply {
    std::uint8_t status;
    std::uint8_t poll_timeout[3]; // little-endian milliseconds
    std::uint8_t state;
    std::uint8_t string_index;
};
static_assert(sizeof(StatusReply) == 6);

// Bytes a short command leaves out read as zero.
template <typename T> T read_wire(const std::vector<std::uint8_t>& bytes) {
    T value{};
    std::memcpy(&value, bytes.data(), std::min(sizeof value, bytes.size()));
    return value;
}

std::uint16_t big_endian(std::uint8_t hi, std::uint8_t lo) {
    return static_cast<std::uint16_t>(hi << 8 | lo);
}

Reply stall() {
    Reply reply;
    reply.outcome = Reply::Outcome::Stall;
    return reply;
}

} // namespace

FlipDevice::FlipDevice()
    : flash_(kFlashSize, kErasedByte),
      eeprom_(kEepromSize, kErasedByte), bootloader_{kBootloaderVersion, kBootloaderId1,
                                                     kBootloaderId2},
      signature_{kSignature[0], kSignature[1], kSignature[2], kRevision} {}

Reply FlipDevice::handle(std::size_t request_index, const Setup& setup,
                         const std::vector<std::uint8_t>& out) {
    if (left_bus_) {
        Reply gone;
        gone.outcome = Reply::Outcome::Gone;
        return gone;
    }
    const bool is_get_status =
        setup.request_type == kDfuRequestTypeIn && setup.request == kDfuGetStatus;
    if (bad_status_at_ == request_index) {
        fail(DfuStatus::ErrTarget);
        // The request is acknowledged; only a status query shows what happened.
        if (!is_get_status)
            return Reply{};
    }
    if (setup.index != kDfuInterface)
        return reject(DfuStatus::ErrUnknown);
    if (setup.request_type == kDfuRequestTypeOut && setup.request == kDfuDnload)
        return download(request_index, out);
    if (setup.request_type == kDfuRequestTypeIn && setup.request == kDfuUpload)
        return upload(setup);
    if (is_get_status)
        return get_status(setup);
    if (setup.request_type == kDfuRequestTypeOut && setup.request == kDfuClrStatus)
        return clear_status();
    if (setup.request_type == kDfuRequestTypeOut && setup.request == kDfuAbort)
        return abort();
    return reject(DfuStatus::ErrUnknown);
}

void FlipDevice::fail(DfuStatus status) {
    state_ = DfuState::Error;
    status_ = status;
    pending_read_.reset();
    pending_answer_.reset();
}

Reply FlipDevice::reject(DfuStatus status) {
    fail(status);
    return stall();
}

Reply FlipDevice::accept_download() {
    state_ = DfuState::DnloadIdle;
    status_ = DfuStatus::Ok;
    return Reply{};
}

Reply FlipDevice::download(std::size_t request_index, const std::vector<std::uint8_t>& out) {
    if (state_ == DfuState::Error)
        return stall();
    if (start_pending_) {
        // The bootloader jumps to the application once this request is acknowledged.
        left_bus_ = true;
        return Reply{};
    }
    if (out.empty())
        return Reply{};
    if (out.size() < kShortestCommandSize)
        return reject(DfuStatus::ErrUnknown);
    switch (out[0]) {
    case kGroupProgram:
        return program(request_index, out);
    case kGroupRead:
        return queue_read(out);
    case kGroupExecute:
        return execute(request_index, out);
    case kGroupSelect:
        return select(out);
    default:
        return reject(DfuStatus::ErrUnknown);
    }
}

Reply FlipDevice::select(const std::vector<std::uint8_t>& out) {
    if (out.size() < kSelectCommandSize || out.size() > kCommandSize)
        return reject(DfuStatus::ErrUnknown);
    const auto command = read_wire<FlipCommand>(out);
    if (command.command != kSelectCommand)
        return reject(DfuStatus::ErrUnknown);
    if (command.arg[0] == kSelectUnit) {
        const std::uint8_t unit = command.arg[1];
        const bool known = unit == static_cast<std::uint8_t>(MemoryUnit::Flash) ||
                           unit == static_cast<std::uint8_t>(MemoryUnit::Eeprom) ||
                           unit == static_cast<std::uint8_t>(MemoryUnit::Bootloader) ||
                           unit == static_cast<std::uint8_t>(MemoryUnit::Signature);
        if (!known)
            return reject(DfuStatus::ErrUnknown);
        unit_ = static_cast<MemoryUnit>(unit);
        return accept_download();
    }
    if (command.arg[0] == kSelectPage) {
        page_ = command.arg[1];
        return accept_download();
    }
    return reject(DfuStatus::ErrUnknown);
}

// The command fills the first control packet. The data begin in the next one
// at the start address's offset within a packet, where the page buffer takes
// them; after the data a host may send the 16-byte DFU suffix.
Reply FlipDevice::program(std::size_t request_index, const std::vector<std::uint8_t>& out) {
    if (out.size() < kProgramHeaderSize)
        return reject(DfuStatus::ErrUnknown);
    const auto header = read_wire<ProgramHeader>(out);
    if (header.range.command != kProgramStart)
        return reject(DfuStatus::ErrUnknown);
    const std::size_t start = big_endian(header.range.start_hi, header.range.start_lo);
    const std::size_t end = big_endian(header.range.end_hi, header.range.end_lo);
    if (end < start)
        return reject(DfuStatus::ErrUnknown);
    const std::size_t length = end - start + 1;
    const std::size_t data_offset = kProgramHeaderSize + start % kControlPacketSize;
    const std::size_t framed = data_offset + length;
    if (out.size() != framed && out.size() != framed + kProgramTrailerSize)
        return reject(DfuStatus::ErrUnknown);
    const std::size_t first = absolute(static_cast<std::uint16_t>(start));
    if (!in_memory(unit_, first, length))
        return reject(DfuStatus::ErrAddress);

    const std::uint8_t* data = out.data() + data_offset;
    if (unit_ == MemoryUnit::Bootloader || unit_ == MemoryUnit::Signature)
        return reject(DfuStatus::ErrWrite); // fixed in the part and the bootloader
    if (unit_ == MemoryUnit::Eeprom) {
        std::copy(data, data + length, eeprom_.begin() + first);
    } else if (!(stuck_from_ && request_index >= *stuck_from_)) {
        write_flash(first, data, length);
    }
    return accept_download();
}

void FlipDevice::write_flash(std::size_t start, const std::uint8_t* data, std::size_t length) {
    if (no_erase_) {
        for (std::size_t i = 0; i < length; ++i)
            flash_[start + i] &= data[i];
        return;
    }
    const std::size_t page_begin = start / kFlashPageSize * kFlashPageSize;
    const std::size_t page_end =
        (start + length - 1) / kFlashPageSize * kFlashPageSize + kFlashPageSize;
    std::fill(flash_.begin() + page_begin, flash_.begin() + page_end, kErasedByte);
    std::copy(data, data + length, flash_.begin() + start);
}

Reply FlipDevice::queue_read(const std::vector<std::uint8_t>& out) {
    if (out.size() != kCommandSize)
        return reject(DfuStatus::ErrUnknown);
    const auto command = read_wire<RangeCommand>(out);
    if (command.command != kReadMemory && command.command != kBlankCheck)
        return reject(DfuStatus::ErrUnknown);
    const std::size_t start = big_endian(command.start_hi, command.start_lo);
    const std::size_t end = big_endian(command.end_hi, command.end_lo);
    if (end < start)
        return reject(DfuStatus::ErrAddress);
    const std::size_t first = absolute(static_cast<std::uint16_t>(start));
    const std::size_t length = end - start + 1;
    if (!in_memory(unit_, first, length))
        return reject(DfuStatus::ErrAddress);
    pending_answer_.reset();
    if (command.command == kBlankCheck)
        return blank_check(first, length);
    pending_read_ = PendingRead{unit_, first, length};
    return accept_download();
}

// A blank range leaves the status clean. Otherwise the status says
// errCHECK_ERASED and the next upload tells where the first programmed byte
// is, as a 16-bit big-endian address within the selected page.
Reply FlipDevice::blank_check(std::size_t first, std::size_t length) {
    pending_read_.reset();
    const auto begin = memory(unit_).begin() + first;
    const auto programmed =
        std::find_if(begin, begin + length, [](std::uint8_t byte) { return byte != kErasedByte; });
    Reply reply = accept_download();
    if (programmed == begin + length)
        return reply;
    const std::size_t address = (first + (programmed - begin)) % kPageSpan;
    pending_answer_ = std::vector<std::uint8_t>{static_cast<std::uint8_t>(address >> 8),
                                                static_cast<std::uint8_t>(address & 0xFF)};
    status_ = DfuStatus::ErrCheckErased;
    return reply;
}

Reply FlipDevice::execute(std::size_t request_index, const std::vector<std::uint8_t>& out) {
    if (out.size() > kCommandSize)
        return reject(DfuStatus::ErrUnknown);
    if (out[1] == kEraseCommand && out[2] == kEraseChip) {
        // The application flash only; the EEPROM keeps its contents.
        if (!no_erase_ && !(stuck_from_ && request_index >= *stuck_from_))
            std::fill(flash_.begin(), flash_.end(), kErasedByte);
        return accept_download();
    }
    const bool known_mode = out[2] == kStartWithReset || out[2] == kStartNoReset;
    if (out[1] != kStartCommand || !known_mode)
        return reject(DfuStatus::ErrUnknown);
    start_pending_ = true;
    return accept_download();
}

Reply FlipDevice::upload(const Setup& setup) {
    if (state_ == DfuState::Error)
        return stall();
    if (pending_answer_) {
        Reply reply;
        reply.data = *pending_answer_;
        reply.data.resize(std::min<std::size_t>(reply.data.size(), setup.length));
        pending_answer_.reset();
        state_ = reply.data.size() < setup.length ? DfuState::Idle : DfuState::UploadIdle;
        status_ = DfuStatus::Ok;
        return reply;
    }
    if (!pending_read_)
        return reject(DfuStatus::ErrStalledPkt);
    const PendingRead read = *pending_read_;
    pending_read_.reset();
    const std::size_t count = std::min<std::size_t>(setup.length, read.length);
    const auto first = memory(read.unit).begin() + read.start;
    Reply reply;
    reply.data.assign(first, first + count);
    state_ = count < setup.length ? DfuState::Idle : DfuState::UploadIdle;
    status_ = DfuStatus::Ok;
    return reply;
}

Reply FlipDevice::get_status(const Setup& setup) const {
    const StatusReply status{
        static_cast<std::uint8_t>(status_), {0, 0, 0}, static_cast<std::uint8_t>(state_), 0};
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&status);
    Reply reply;
    reply.data.assign(bytes, bytes + std::min<std::size_t>(setup.length, sizeof status));
    return reply;
}

// Valid wherever a transfer could be under way; dfuERROR wants DFU_CLRSTATUS first.
Reply FlipDevice::abort() {
    if (state_ == DfuState::Error)
        return stall();
    state_ = DfuState::Idle;
    status_ = DfuStatus::Ok;
    pending_read_.reset();
    pending_answer_.reset();
    return Reply{};
}

Reply FlipDevice::clear_status() {
    state_ = DfuState::Idle;
    status_ = DfuStatus::Ok;
    return Reply{};
}

void FlipDevice::load(MemoryUnit unit, std::size_t offset, const std::vector<std::uint8_t>& bytes) {
    if (!in_memory(unit, offset, bytes.size()))
        throw std::out_of_range("sim: memory contents do not fit the device memory");
    std::copy(bytes.begin(), bytes.end(), memory(unit).begin() + offset);
}

std::vector<std::uint8_t>& FlipDevice::memory(MemoryUnit unit) {
    return const_cast<std::vector<std::uint8_t>&>(std::as_const(*this).memory(unit));
}

const std::vector<std::uint8_t>& FlipDevice::memory(MemoryUnit unit) const {
    switch (unit) {
    case MemoryUnit::Flash:
        return flash_;
    case MemoryUnit::Eeprom:
        return eeprom_;
    case MemoryUnit::Bootloader:
        return bootloader_;
    case MemoryUnit::Signature:
        break;
    }
    return signature_;
}

std::size_t FlipDevice::absolute(std::uint16_t address) const {
    return page_ * kPageSpan + address;
}

bool FlipDevice::in_memory(MemoryUnit unit, std::size_t start, std::size_t length) const {
    const std::size_t size = memory(unit).size();
    return start <= size && length <= size - start;
}

} // namespace sim
