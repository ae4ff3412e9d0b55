#include "flip_device.h"

#include "flip_timing.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>

namespace sim {
namespace {

constexpr std::uint16_t kDfuInterface = 0;

constexpr std::uint8_t kGroupProgram = 0x01;
constexpr std::uint8_t kGroupRead = 0x03;
constexpr std::uint8_t kGroupExecute = 0x04;
constexpr std::uint8_t kGroupConfiguration = 0x05; // protocol 1
constexpr std::uint8_t kGroupSelect = 0x06;

constexpr std::uint8_t kProgramFlash = 0x00;  // protocol 2: the selected unit
constexpr std::uint8_t kProgramEeprom = 0x01; // protocol 1
constexpr std::uint8_t kReadMemory = 0x00;    // protocol 1: flash; protocol 2: the selected unit
constexpr std::uint8_t kBlankCheck = 0x01;
constexpr std::uint8_t kReadEeprom = 0x02; // protocol 1
constexpr std::uint8_t kEraseCommand = 0x00;
constexpr std::uint8_t kEraseChip = 0xFF;
constexpr std::uint8_t kStartCommand = 0x03;
constexpr std::uint8_t kStartWithReset = 0x00;
constexpr std::uint8_t kStartNoReset = 0x01;
constexpr std::uint8_t kSelectCommand = 0x03;
constexpr std::uint8_t kSelectUnit = 0x00;        // protocol 2: 06 03 00 unit
constexpr std::uint8_t kSelectPage = 0x01;        // protocol 2: 06 03 01 PH PL
constexpr std::uint8_t kSelectFlashPage = 0x00;   // protocol 1: 06 03 00 PP
constexpr std::uint8_t kChangeBaseAddress = 0x00; // protocol 1 as avrdude sends it: 06 00 PP
constexpr std::uint8_t kConfigBootloader = 0x00;  // 05 00 version/ID1/ID2
constexpr std::uint8_t kConfigSignature = 0x01;   // 05 01 30/31/60/61
// The addresses of protocol 1's four signature reads, in the order of their answers.
constexpr std::uint8_t kSignatureAddresses[] = {0x30, 0x31, 0x60, 0x61};
// The first answer: Atmel's manufacturer code from the bootloader's 8051 ancestors; the part's
// three signature bytes follow.
constexpr std::uint8_t kManufacturerCode = 0x58;
// What protocol 1's flash holds where the bootloader's code is: not blank, as on a real part.
constexpr std::uint8_t kBootloaderCode = 0x00;
// A refused access on a locked megaAVR. Sources differ: Atmel's bootloader code and LUFA's
// report errWRITE, dfu-programmer reads the lock as errFILE. The model follows the bootloaders,
// which are what a station talks to; a host sees the stall either way.
constexpr DfuStatus kLockedStatus = DfuStatus::ErrWrite;

constexpr std::size_t kCommandSize = 6;
// Group, command, what to select and its value: 06 03 00 unit (or protocol 1's page).
constexpr std::size_t kSelectCommandSize = 4;
// 06 03 01 PH PL: protocol 2's page number takes two bytes.
constexpr std::size_t kSelectPageCommandSize = 5;
// Group, command and first argument: erase, start, configuration reads and avrdude's page
// change need no more.
constexpr std::size_t kShortestCommandSize = 3;
constexpr std::size_t kProgramTrailerSize = 16; // the DFU suffix
// Each selectable page spans the full 16-bit address range of the commands.
constexpr std::size_t kPageSpan = parts::PAGE_SPAN;

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

const FlipProtocol& protocol_of(const parts::Part& part) {
    for (const FlipProtocol& row : kFlipProtocols) {
        if (row.protocol == part.protocol)
            return row;
    }
    throw std::logic_error(std::string("sim: no bootloader model for the protocol of ") +
                           part.name);
}

// The number of blocks of `block` bytes that bytes first..first+length-1 touch.
std::size_t blocks_touched(std::size_t first, std::size_t length, std::size_t block) {
    return length == 0 ? 0 : (first + length - 1) / block - first / block + 1;
}

constexpr bool same_text(const char* a, const char* b) {
    while (*a != '\0' && *a == *b)
        ++a, ++b;
    return *a == *b;
}

constexpr const parts::Part& default_row() {
    for (const parts::Part& part : parts::TABLE) {
        if (same_text(part.name, parts::DEFAULT_NAME))
            return part;
    }
    return parts::TABLE[0];
}
// The constants for code that knows only the default part are that part's.
static_assert(same_text(default_row().name, parts::DEFAULT_NAME));
static_assert(default_row().flash_size == kFlashSize && default_row().eeprom_size == kEepromSize &&
              default_row().product == kFlipProductId);

} // namespace

const parts::Part& part_named(const std::string& name) {
    if (const parts::Part* part = parts::find(name.c_str()))
        return *part;
    std::string known;
    for (const parts::Part& part : parts::TABLE)
        known += std::string(known.empty() ? "" : ", ") + part.name;
    throw std::invalid_argument("unknown part '" + name + "' (known: " + known + ")");
}

const parts::Part* part_with_product(std::uint16_t product) {
    for (const parts::Part& part : parts::TABLE) {
        if (part.product == product)
            return &part;
    }
    return nullptr;
}

FlipDevice::FlipDevice(const parts::Part& part)
    : part_(&part), protocol_(&protocol_of(part)), timing_(&flip_timing(part)),
      flash_(part.flash_size, kErasedByte), eeprom_(part.eeprom_size, kErasedByte),
      bootloader_(std::begin(protocol_->bootloader), std::end(protocol_->bootloader)),
      locked_(protocol_->locked_after_reset) {
    std::fill(flash_.begin() + static_cast<std::ptrdiff_t>(application_size()), flash_.end(),
              kBootloaderCode);
    const std::uint8_t* signature = part.signature;
    if (part.protocol == parts::PROTOCOL_1)
        signature_ = {kManufacturerCode, signature[0], signature[1], signature[2]};
    else
        signature_ = {signature[0], signature[1], signature[2], kRevision};
}

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
    if (locked_ && !allowed_while_locked(out))
        return reject(kLockedStatus);
    switch (out[0]) {
    case kGroupProgram:
        return program(request_index, out);
    case kGroupRead:
        return queue_read(out);
    case kGroupExecute:
        return execute(request_index, out);
    case kGroupSelect:
        return select(out);
    case kGroupConfiguration:
        if (part_->protocol == parts::PROTOCOL_1)
            return read_configuration(out);
        return reject(DfuStatus::ErrUnknown);
    default:
        return reject(DfuStatus::ErrUnknown);
    }
}

// What a locked megaAVR still takes: what identifies the part and the way out of the lock.
bool FlipDevice::allowed_while_locked(const std::vector<std::uint8_t>& out) const {
    return out[0] == kGroupConfiguration ||
           (out[0] == kGroupExecute && out[1] == kEraseCommand && out[2] == kEraseChip);
}

// Protocol 2 selects a unit (06 03 00 unit) or a page (06 03 01 PH PL). Protocol 1 selects a
// flash page only, as 06 03 00 PP (Atmel's bootloader documents, dfu-programmer) or as the
// 06 00 PP avrdude's flip1 sends; the model takes both, so that both clients can program the
// parts above 64 KiB.
Reply FlipDevice::select(const std::vector<std::uint8_t>& out) {
    if (out.size() > kCommandSize)
        return reject(DfuStatus::ErrUnknown);
    const auto command = read_wire<FlipCommand>(out);
    if (part_->protocol == parts::PROTOCOL_1) {
        if (command.command == kChangeBaseAddress)
            return select_page(command.arg[0]);
        if (out.size() >= kSelectCommandSize && command.command == kSelectCommand &&
            command.arg[0] == kSelectFlashPage)
            return select_page(command.arg[1]);
        return reject(DfuStatus::ErrUnknown);
    }
    if (out.size() < kSelectCommandSize || command.command != kSelectCommand)
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
    if (command.arg[0] == kSelectPage && out.size() >= kSelectPageCommandSize)
        return select_page(big_endian(command.arg[1], command.arg[2]));
    return reject(DfuStatus::ErrUnknown);
}

Reply FlipDevice::select_page(std::size_t page) {
    page_ = page;
    return accept_download();
}

// The command fills the first control packet. The data begin in the next one
// at the start address's offset within a packet, where the page buffer takes
// them; after the data a host may send the 16-byte DFU suffix.
Reply FlipDevice::program(std::size_t request_index, const std::vector<std::uint8_t>& out) {
    const std::size_t header_size = protocol_->control_packet_size;
    if (out.size() < header_size)
        return reject(DfuStatus::ErrUnknown);
    const auto range = read_wire<RangeCommand>(out);
    const std::optional<MemoryUnit> unit = program_target(range.command);
    if (!unit)
        return reject(DfuStatus::ErrUnknown);
    const std::size_t start = big_endian(range.start_hi, range.start_lo);
    const std::size_t end = big_endian(range.end_hi, range.end_lo);
    if (end < start)
        return reject(DfuStatus::ErrUnknown);
    const std::size_t length = end - start + 1;
    if (length > protocol_->max_program_data)
        return reject(DfuStatus::ErrUnknown);
    const std::size_t data_offset = header_size + start % protocol_->control_packet_size;
    const std::size_t framed = data_offset + length;
    if (out.size() != framed && out.size() != framed + kProgramTrailerSize)
        return reject(DfuStatus::ErrUnknown);
    const std::size_t first = absolute(*unit, static_cast<std::uint16_t>(start));
    if (!in_memory(*unit, first, length))
        return reject(DfuStatus::ErrAddress);
    return program_memory(request_index, *unit, first, out.data() + data_offset, length);
}

Reply FlipDevice::program_memory(std::size_t request_index, MemoryUnit unit, std::size_t first,
                                 const std::uint8_t* data, std::size_t length) {
    if (unit == MemoryUnit::Bootloader || unit == MemoryUnit::Signature)
        return reject(DfuStatus::ErrWrite); // fixed in the part and the bootloader
    if (unit == MemoryUnit::Flash && first + length > application_size())
        return reject(DfuStatus::ErrAddress); // the bootloader does not overwrite itself
    if (unit == MemoryUnit::Eeprom) {
        std::copy(data, data + length, eeprom_.begin() + static_cast<std::ptrdiff_t>(first));
    } else if (!(stuck_from_ && request_index >= *stuck_from_)) {
        write_flash(first, data, length);
    }
    Reply reply = accept_download();
    reply.busy_us = programming_us(unit, first, length);
    return reply;
}

// XMEGA erases each page it touches and writes it; a megaAVR page (or a failing XMEGA one)
// keeps the bits the data do not clear.
void FlipDevice::write_flash(std::size_t start, const std::uint8_t* data, std::size_t length) {
    if (no_erase_ || !protocol_->erases_pages_it_programs) {
        for (std::size_t i = 0; i < length; ++i)
            flash_[start + i] &= data[i];
        return;
    }
    const std::size_t page_size = part_->page_size;
    const std::size_t page_begin = start / page_size * page_size;
    const std::size_t page_end = (start + length - 1) / page_size * page_size + page_size;
    std::fill(flash_.begin() + static_cast<std::ptrdiff_t>(page_begin),
              flash_.begin() + static_cast<std::ptrdiff_t>(page_end), kErasedByte);
    std::copy(data, data + length, flash_.begin() + static_cast<std::ptrdiff_t>(start));
}

std::uint64_t FlipDevice::programming_us(MemoryUnit unit, std::size_t first,
                                         std::size_t length) const {
    if (unit == MemoryUnit::Eeprom)
        return blocks_touched(first, length, timing_->eeprom_unit) * timing_->eeprom_unit_us;
    return blocks_touched(first, length, part_->page_size) * timing_->page_write_us;
}

Reply FlipDevice::queue_read(const std::vector<std::uint8_t>& out) {
    if (out.size() != kCommandSize)
        return reject(DfuStatus::ErrUnknown);
    const auto command = read_wire<RangeCommand>(out);
    const std::optional<MemoryUnit> unit = read_target(command.command);
    if (!unit)
        return reject(DfuStatus::ErrUnknown);
    const std::size_t start = big_endian(command.start_hi, command.start_lo);
    const std::size_t end = big_endian(command.end_hi, command.end_lo);
    if (end < start)
        return reject(DfuStatus::ErrAddress);
    const std::size_t first = absolute(*unit, static_cast<std::uint16_t>(start));
    const std::size_t length = end - start + 1;
    if (!in_memory(*unit, first, length))
        return reject(DfuStatus::ErrAddress);
    pending_answer_.reset();
    if (command.command == kBlankCheck)
        return blank_check(*unit, first, length);
    pending_read_ = PendingRead{*unit, first, length};
    return accept_download();
}

// A blank range leaves the status clean. Otherwise the status says
// errCHECK_ERASED and the next upload tells where the first programmed byte
// is, as a 16-bit big-endian address within the selected page.
Reply FlipDevice::blank_check(MemoryUnit unit, std::size_t first, std::size_t length) {
    pending_read_.reset();
    const auto begin = memory(unit).begin() + static_cast<std::ptrdiff_t>(first);
    const auto end = begin + static_cast<std::ptrdiff_t>(length);
    const auto programmed =
        std::find_if(begin, end, [](std::uint8_t byte) { return byte != kErasedByte; });
    Reply reply = accept_download();
    if (programmed == end)
        return reply;
    const std::size_t address = (first + static_cast<std::size_t>(programmed - begin)) % kPageSpan;
    pending_answer_ = std::vector<std::uint8_t>{static_cast<std::uint8_t>(address >> 8),
                                                static_cast<std::uint8_t>(address & 0xFF)};
    status_ = DfuStatus::ErrCheckErased;
    return reply;
}

// One byte for the next upload: 05 00 00/01/02 the bootloader's version, ID1 and ID2;
// 05 01 30/31/60/61 the manufacturer code and the part's three signature bytes.
Reply FlipDevice::read_configuration(const std::vector<std::uint8_t>& out) {
    if (out.size() > kCommandSize)
        return reject(DfuStatus::ErrUnknown);
    const std::uint8_t address = out[2];
    std::optional<std::uint8_t> answer;
    if (out[1] == kConfigBootloader && address < bootloader_.size())
        answer = bootloader_[address];
    for (std::size_t i = 0; i < std::size(kSignatureAddresses); ++i) {
        if (out[1] == kConfigSignature && address == kSignatureAddresses[i])
            answer = signature_[i];
    }
    if (!answer)
        return reject(DfuStatus::ErrUnknown);
    pending_read_.reset();
    pending_answer_ = std::vector<std::uint8_t>{*answer};
    return accept_download();
}

Reply FlipDevice::execute(std::size_t request_index, const std::vector<std::uint8_t>& out) {
    if (out.size() > kCommandSize)
        return reject(DfuStatus::ErrUnknown);
    if (out[1] == kEraseCommand && out[2] == kEraseChip)
        return erase_chip(request_index);
    const bool known_mode = out[2] == kStartWithReset || out[2] == kStartNoReset;
    if (out[1] != kStartCommand || !known_mode)
        return reject(DfuStatus::ErrUnknown);
    start_pending_ = true;
    return accept_download();
}

// The application flash only: the EEPROM keeps its contents and the bootloader its code.
// It is the one way out of protocol 1's lock.
Reply FlipDevice::erase_chip(std::size_t request_index) {
    if (!no_erase_ && !(stuck_from_ && request_index >= *stuck_from_))
        std::fill(flash_.begin(), flash_.begin() + static_cast<std::ptrdiff_t>(application_size()),
                  kErasedByte);
    locked_ = false;
    Reply reply = accept_download();
    const std::size_t pages = application_size() / part_->page_size;
    reply.busy_us = timing_->chip_erase_us + pages * timing_->chip_erase_page_us;
    return reply;
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
    const auto first = memory(read.unit).begin() + static_cast<std::ptrdiff_t>(read.start);
    Reply reply;
    reply.data.assign(first, first + static_cast<std::ptrdiff_t>(count));
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
    std::copy(bytes.begin(), bytes.end(),
              memory(unit).begin() + static_cast<std::ptrdiff_t>(offset));
}

std::optional<MemoryUnit> FlipDevice::program_target(std::uint8_t command) const {
    if (part_->protocol == parts::PROTOCOL_2)
        return command == kProgramFlash ? std::optional(unit_) : std::nullopt;
    if (command == kProgramFlash)
        return MemoryUnit::Flash;
    return command == kProgramEeprom ? std::optional(MemoryUnit::Eeprom) : std::nullopt;
}

std::optional<MemoryUnit> FlipDevice::read_target(std::uint8_t command) const {
    const bool read_or_check = command == kReadMemory || command == kBlankCheck;
    if (part_->protocol == parts::PROTOCOL_2)
        return read_or_check ? std::optional(unit_) : std::nullopt;
    if (read_or_check)
        return MemoryUnit::Flash;
    return command == kReadEeprom ? std::optional(MemoryUnit::Eeprom) : std::nullopt;
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

// Protocol 1's EEPROM addresses are its own; every other memory's are within the page.
std::size_t FlipDevice::absolute(MemoryUnit unit, std::uint16_t address) const {
    if (part_->protocol == parts::PROTOCOL_1 && unit != MemoryUnit::Flash)
        return address;
    return page_ * kPageSpan + address;
}

bool FlipDevice::in_memory(MemoryUnit unit, std::size_t start, std::size_t length) const {
    const std::size_t size = memory(unit).size();
    return start <= size && length <= size - start;
}

} // namespace sim
