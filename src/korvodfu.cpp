#include "korvodfu.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <sstream>

// ---------------------------------------------------------------------------------------
// Flash image

int AvrParser::flush() {
    if (bufCount == 0)
        return 0;
    flushBuffer.push_back(bufAddr);
    flushBuffer.push_back(bufCount);

    if (image.empty())
        imageBase = bufAddr;
    int32_t base = std::min(imageBase, bufAddr);
    int32_t end =
        std::max<int32_t>(imageBase + static_cast<int32_t>(image.size()), bufAddr + bufCount);
    if (base < imageBase) {
        image.insert(image.begin(), imageBase - base, ERASED);
        written.insert(written.begin(), imageBase - base, false);
        imageBase = base;
    }
    image.resize(end - base, ERASED);
    written.resize(end - base, false);

    for (int32_t k = 0; k < bufCount; ++k) {
        size_t index = bufAddr - imageBase + k;
        if (written[index] && image[index] != buf[k]) {
            // Lower case whatever an earlier record display left switched on.
            std::ios_base::fmtflags flags = std::cout.flags();
            std::cout << "Invalid hex: address 0x" << std::hex << std::nouppercase << (bufAddr + k)
                      << " is given different values" << std::endl;
            std::cout.flags(flags);
            std::ostringstream why;
            why << "line " << fileLine << ": address 0x" << std::hex << std::uppercase
                << (bufAddr + k) << " is given a value different from an earlier record's";
            fault = why.str();
            conflicting = true;
            return -1;
        }
        image[index] = buf[k];
        written[index] = true;
    }
    return 0;
}

int AvrParser::copy(ByteBuffer& dstBuf) const {
    if (conflicting)
        return -1;
    if (flushBuffer.empty()) {
        std::cout << "Invalid hex" << std::endl;
        return -1;
    }
    dstBuf = image;
    return 0;
}

// ---------------------------------------------------------------------------------------
// EEPROM identity record

namespace record {

namespace {
constexpr int BYTE_BITS = 8;
constexpr int BYTE_MASK = 0xFF;
constexpr int HARD_ID_HIGH_SHIFT = 5; // ID bits 12..5 in the first byte
constexpr int ID_FIELD_WIDTH = 4;
constexpr int DUMP_FIELD_WIDTH = 4;

// "0x"-prefixed values are printed zero-filled to 4 digits, then the stream is set back.
void print_id(const char* label, int value) {
    std::cout << label << std::hex << std::setw(ID_FIELD_WIDTH) << std::setfill('0') << value
              << std::setfill(' ') << std::dec << std::endl;
}
} // namespace

void put_hard_id(ByteBuffer& buf, int hard_id_set) {
    buf[HARD_ID_OFFSET] = (hard_id_set >> HARD_ID_HIGH_SHIFT) & BYTE_MASK;
    buf[HARD_ID_OFFSET + 1] = (hard_id_set << HARD_ID_SHIFT) & BYTE_MASK;
}
void put_soft_id(ByteBuffer& buf, int soft_id_set) {
    buf[SOFT_ID_OFFSET] = soft_id_set & BYTE_MASK;
}
void put_rxaddr(ByteBuffer& buf, int rxaddr_set) {
    buf[RXADDR_OFFSET] = (rxaddr_set >> BYTE_BITS) & BYTE_MASK;
    buf[RXADDR_OFFSET + 1] = rxaddr_set & BYTE_MASK;
}

ByteBuffer prepare(const ByteBuffer& eeprom_bin) {
    return ByteBuffer(std::max(readout_size, eeprom_bin.size()), BLANK);
}

void show(const ByteBuffer& buf) {
    std::cout << std::uppercase;
    std::cout << " Tag:       " << convert_string(&buf[TAG_OFFSET], TAG_SIZE) << std::endl;
    std::cout << " Version:   " << convert_string(&buf[VERSION_OFFSET], VERSION_SIZE) << std::endl;
    print_id(" Hard ID:   0x", hard_id(buf));
    print_id(" Soft ID:   0x", soft_id(buf));
    std::cout << " RXaddr:    0x" << std::hex << rxaddr(buf) << std::dec << std::endl;
    std::cout << std::endl;
}

void dump(const ByteBuffer& buf) {
    for (size_t i = 0; i < readout_size; ++i) {
        std::cout << std::hex << std::setw(DUMP_FIELD_WIDTH) << static_cast<int>(buf[i]);
        std::cout << ((i + 1) % DUMP_COLUMNS == 0 ? '\n' : ' ');
    }
    std::cout << std::endl;
    std::cout << std::dec;
}

void merge(ByteBuffer& buf, const ByteBuffer& eeprom_bin, int hard_id_set, int soft_id_set,
           int rxaddr_set) {
    auto kept = [&](size_t i) {
        return (hard_id_set > 0 && (i == HARD_ID_OFFSET || i == HARD_ID_OFFSET + 1)) ||
               (soft_id_set > 0 && i == SOFT_ID_OFFSET) ||
               (rxaddr_set > 0 && (i == RXADDR_OFFSET || i == RXADDR_OFFSET + 1));
    };
    for (size_t i = 0; i < eeprom_bin.size() && i < buf.size(); ++i)
        if (!kept(i))
            buf[i] = eeprom_bin[i];
    buf[CLEARED_OFFSET] = 0;
}

void apply(ByteBuffer& buf, int hard_id_set, int soft_id_set, int rxaddr_set) {
    if (hard_id_set > 0) {
        print_id(" -> Setting Hard ID to: 0x", hard_id_set);
        put_hard_id(buf, hard_id_set);
    }
    if (soft_id_set > 0) {
        print_id(" -> Setting Soft ID to: 0x", soft_id_set);
        put_soft_id(buf, soft_id_set);
    }
    if (rxaddr_set > 0) {
        print_id(" -> Setting RXaddr to: 0x", rxaddr_set);
        put_rxaddr(buf, rxaddr_set);
    }
}

void advance_hard_id(int& hard_id_set) {
    if (hard_id_set != 0)
        ++hard_id_set;
}

} // namespace record

// ---------------------------------------------------------------------------------------
// DFU transport

namespace {
constexpr int request_type(int request) {
    return request == DFU_DNLOAD || request == DFU_CLRSTATUS ? DFU_REQUEST_TYPE_OUT
                                                             : DFU_REQUEST_TYPE_IN;
}
constexpr int ADDRESS_MASK = 0xFFFF;
constexpr int BYTE_BITS = 8;
constexpr int MAX_PAGE_NUMBER_BYTES = 2;
} // namespace

KorvoDfu::KorvoDfu(const parts::Part& part, bool erase)
    : part(&part), protocol(&flip_protocol(part.protocol)),
      eraseChip(erase || part.protocol == parts::PROTOCOL_1), handle(nullptr), usb_error(-1),
      dfuLastStatus(0), dfuLastState(0) {}

template <int REQUEST, typename T>
int KorvoDfu::control_transfer(T* data, int length, int timeout_ms) {
    if (isFatalError())
        return usb_error;
    int rval = usb_control_msg(handle, request_type(REQUEST), REQUEST, DFU_BLOCK_NUMBER,
                               DFU_INTERFACE, reinterpret_cast<char*>(data), length, timeout_ms);
    if (REQUEST == DFU_GETSTATUS) {
        if (rval != static_cast<int>(sizeof(DFU_STATUS))) {
            usb_error = -1;
            return -1;
        }
    } else if (rval < 0) {
        usb_error = rval;
    }
    return rval;
}

int KorvoDfu::getStatus() {
    DFU_STATUS status{};
    int rval = control_transfer<DFU_GETSTATUS, DFU_STATUS>(&status, sizeof(status));
    if (rval != static_cast<int>(sizeof(status)))
        return rval;
    dfuLastStatus = status.bStatus;
    dfuLastState = status.bState;
    return status.bStatus;
}

void KorvoDfu::clearStatus() {
    unsigned char none = 0;
    control_transfer<DFU_CLRSTATUS, unsigned char>(&none, 0);
}

int KorvoDfu::selectOp(int memory_unit) {
    selectedUnit = memory_unit;
    if (protocol->selects_units) {
        FLIP_PACKET flip;
        flip.command_raw(FLIP_PACKET::CMD_GROUP_SELECT, FLIP_PACKET::CMD_SELECT_MEMORY,
                         FLIP_PACKET::CMD_SELECT_MEMORY_UNIT, memory_unit & 0xFF, 0, 0);
        int rval = control_transfer<DFU_DNLOAD, FLIP_PACKET>(&flip, sizeof(flip));
        if (rval < 0) {
            std::cout << "Memory select unit error" << std::endl;
            return rval;
        }
    }
    // Protocol 1 pages only the flash, and only a part with more than one page needs it.
    bool paged =
        protocol->selects_units || (memory_unit == FLASH && part->flash_size > parts::PAGE_SPAN);
    return paged ? selectPage(FLIP_PAGE) : 0;
}

int KorvoDfu::selectPage(int page) {
    uint8_t number[MAX_PAGE_NUMBER_BYTES] = {};
    for (int k = 0; k < protocol->page_number_bytes; ++k)
        number[k] = (page >> (BYTE_BITS * (protocol->page_number_bytes - 1 - k))) & 0xFF;
    FLIP_PACKET flip;
    flip.command_raw(FLIP_PACKET::CMD_GROUP_SELECT, FLIP_PACKET::CMD_SELECT_MEMORY,
                     protocol->page_select, number[0], number[1], 0);
    int rval = control_transfer<DFU_DNLOAD, FLIP_PACKET>(&flip, sizeof(flip));
    if (rval < 0) {
        std::cout << "Memory select page error" << std::endl;
        return rval;
    }
    selectedPage = page;
    return 0;
}

int KorvoDfu::reach(uint32_t address) {
    int page = static_cast<int>(address / parts::PAGE_SPAN);
    if (selectedUnit != FLASH || page == selectedPage)
        return 0;
    return selectPage(page);
}

int KorvoDfu::eraseOp() {
    FLIP_PACKET flip;
    flip.command_exec(FLIP_PACKET::CMD_GROUP_EXEC, FLIP_PACKET::CMD_ERASE,
                      FLIP_PACKET::CMD_ERASE_DATA1);
    int rval =
        control_transfer<DFU_DNLOAD, FLIP_PACKET>(&flip, FLIP_ERASE_LENGTH, DFU_ERASE_TIMEOUT_MS);
    return rval < 0 ? rval : getStatus();
}

void KorvoDfu::startOp() {
    FLIP_PACKET flip;
    flip.command_exec(FLIP_PACKET::CMD_GROUP_EXEC, FLIP_PACKET::CMD_START_APPLI,
                      FLIP_PACKET::START_APPLI_NO_RESET);
    // The bootloader jumps on the download that follows the start command.
    control_transfer<DFU_DNLOAD, FLIP_PACKET>(&flip, FLIP_START_LENGTH);
    control_transfer<DFU_DNLOAD, FLIP_PACKET>(&flip, FLIP_START_LENGTH);
}

int KorvoDfu::readSegment(uint32_t startAddr, ByteBuffer& buf) {
    int rval = reach(startAddr);
    if (rval < 0)
        return rval;
    FLIP_PACKET flip;
    flip.command_range(FLIP_PACKET::CMD_GROUP_UPLOAD, protocol->read_command[memory_index()],
                       startAddr & ADDRESS_MASK, (startAddr + buf.size() - 1) & ADDRESS_MASK);
    rval = control_transfer<DFU_DNLOAD, FLIP_PACKET>(&flip, sizeof(flip));
    if (rval < 0) {
        std::cout << "Memory read queue error" << std::endl;
        return rval;
    }
    rval = control_transfer<DFU_UPLOAD, unsigned char>(buf.data(), static_cast<int>(buf.size()));
    if (rval < 0) {
        std::cout << "Memory read error" << std::endl;
        return rval;
    }
    buf.resize(rval);
    return rval;
}

namespace {
// The next segment from offset i of a transfer at startAddr: at most one segment, and never
// across a 64 KiB page, as every command addresses one page.
size_t segment_length(uint32_t startAddr, size_t i, size_t total) {
    size_t to_page_end = parts::PAGE_SPAN - (startAddr + i) % parts::PAGE_SPAN;
    return std::min({static_cast<size_t>(DFU_SEGMENT_SIZE), total - i, to_page_end});
}
} // namespace

int KorvoDfu::readOp(uint32_t startAddr, ByteBuffer& buf) {
    if (buf.size() <= static_cast<size_t>(DFU_SEGMENT_SIZE))
        return readSegment(startAddr, buf);

    // A segment that fails or comes back short makes the whole read fail, so stale bytes
    // can never pass for device contents.
    int failure = 0;
    int delivered = 0;
    ByteBuffer tmp_buf;
    for (size_t i = 0, length = 0; i < buf.size(); i += length) {
        length = segment_length(startAddr, i, buf.size());
        tmp_buf.assign(length, 0);
        int rval = readSegment(startAddr + i, tmp_buf);
        if (rval < 0) {
            failure = rval;
            continue;
        }
        if (static_cast<size_t>(rval) < length)
            failure = -1;
        std::copy(tmp_buf.begin(), tmp_buf.end(), buf.begin() + i);
        delivered += rval;
    }
    return failure < 0 ? failure : delivered;
}

int KorvoDfu::writeSegment(uint32_t startAddr, const ByteBuffer& data) {
    int rval = reach(startAddr);
    if (rval < 0)
        return rval;
    // The first data byte sits at its address's offset within a packet.
    const size_t data_at = protocol->header_size + startAddr % protocol->header_size;
    ByteBuffer block(data_at + data.size() + DFU_BLOCK_TRAILER_SIZE, 0);
    std::copy(data.begin(), data.end(), block.begin() + data_at);
    FLIP_PACKET flip;
    flip.command_range(FLIP_PACKET::CMD_GROUP_DOWNLOAD, protocol->program_command[memory_index()],
                       startAddr & ADDRESS_MASK, (startAddr + data.size() - 1) & ADDRESS_MASK);
    std::memcpy(block.data(), &flip, sizeof(flip));
    return control_transfer<DFU_DNLOAD, unsigned char>(block.data(),
                                                       static_cast<int>(block.size()));
}

int KorvoDfu::writeOp(uint32_t startAddr, ByteBuffer buf) {
    bytesSent = 0;
    if (buf.size() <= static_cast<size_t>(DFU_SEGMENT_SIZE)) {
        int rval = writeSegment(startAddr, buf);
        bytesSent = rval < 0 ? 0 : static_cast<int64_t>(buf.size());
        return rval;
    }
    // Every segment is sent; the first failure is what the caller hears of.
    int failure = 0;
    ByteBuffer tmp_buf;
    for (size_t i = 0, length = 0; i < buf.size(); i += length) {
        length = segment_length(startAddr, i, buf.size());
        tmp_buf.assign(buf.begin() + i, buf.begin() + i + length);
        int rval = writeSegment(startAddr + i, tmp_buf);
        if (rval < 0 && failure == 0)
            failure = rval;
        if (rval >= 0)
            bytesSent += static_cast<int64_t>(length);
    }
    return failure;
}

// ---------------------------------------------------------------------------------------
// Programming pass

namespace {
// Where the kernel's usbfs nodes live; libusb 0.1 opens them there.
const char USB_DEVICE_DIR[] = "/dev/bus/usb/";
} // namespace

// libusb 0.1 hands out a handle even when it could open the node only for reading (or not at
// all), and every request then fails; a node we cannot write means no access.
bool KorvoDfu::node_writable(const std::string& node) {
    return access(node.c_str(), F_OK) != 0 || access(node.c_str(), R_OK | W_OK) == 0;
}

int KorvoDfu::claim() {
    int rval = usb_claim_interface(handle, DFU_INTERFACE);
    if (rval == 0) {
        claimed = true;
        return PASS_OK;
    }
    if (rval == -EBUSY) {
        report("Device in use", "is held by another program; it was not programmed. Stop the"
                                " other program, or give each station its own --port, and plug"
                                " the device in again");
        return PASS_DEVICE_BUSY;
    }
    if (rval == -ENODEV) {
        report("Device not found", "is no longer on the USB bus; plug it in again");
        return PASS_DEVICE_NOT_FOUND;
    }
    std::cerr << "Cannot claim the USB device on bus " << pass_bus << ", device " << pass_dev
              << ": " << std::strerror(-rval) << "; unplug it and plug it in again" << std::endl;
    return PASS_OPEN_ERROR;
}

void KorvoDfu::close() {
    if (claimed)
        usb_release_interface(handle, DFU_INTERFACE);
    claimed = false;
    if (handle != nullptr)
        usb_close(handle);
    handle = nullptr;
}

void KorvoDfu::report(const char* what, const char* outcome) const {
    std::cerr << what << ": bus " << pass_bus << ", device " << pass_dev << " " << outcome
              << std::endl;
}

namespace {
int64_t elapsed_ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 since)
        .count();
}
} // namespace

void KorvoDfu::started(const char* name) {
    if (observer != nullptr)
        observer->phase(PassPhase{name});
}

int KorvoDfu::ended(const char* name, int result, std::chrono::steady_clock::time_point since,
                    int64_t bytes_done, int64_t bytes_total) {
    if (observer != nullptr)
        observer->phase(PassPhase{name, true, result, elapsed_ms(since), bytes_done, bytes_total});
    return result;
}

int KorvoDfu::try_device(int bus_num, int dev_num, const ByteBuffer& flash_bin,
                         const ByteBuffer& eeprom_bin, int& hard_id_set, int soft_id_set,
                         int rxaddr_set, bool write_ee) {
    pass_bus = bus_num;
    pass_dev = dev_num;
    usb_init();
    usb_find_busses();
    usb_find_devices();
    bool found = false;
    for (usb_bus* bus = usb_get_busses(); bus != nullptr; bus = bus->next) {
        if (std::strtol(bus->dirname, nullptr, DECIMAL) != bus_num)
            continue;
        for (struct usb_device* dev = bus->devices; dev != nullptr; dev = dev->next) {
            if (static_cast<int>(dev->devnum) != dev_num)
                continue;
            found = true;
            const std::string node =
                std::string(USB_DEVICE_DIR) + bus->dirname + "/" + dev->filename;
            handle = usb_open(dev);
            if (handle != nullptr && !node_writable(node))
                close();
            if (handle == nullptr) {
                std::cerr << "Cannot open the USB device on bus " << bus_num << ", device "
                          << dev_num << " (" << node
                          << "): no access; install the udev rule 60-korvofw.rules and plug"
                             " the device in again, or run as a user with access to USB devices"
                          << std::endl;
                return PASS_OPEN_ERROR;
            }
            int rval = claim();
            if (rval == PASS_OK)
                rval = pass_body(flash_bin, eeprom_bin, hard_id_set, soft_id_set, rxaddr_set,
                                 write_ee);
            close();
            if (rval != PASS_OK)
                return rval;
        }
    }
    if (!found) {
        report("Device not found", "is no longer on the USB bus; plug it in again");
        return PASS_DEVICE_NOT_FOUND;
    }
    return PASS_OK;
}

int KorvoDfu::pass_body(const ByteBuffer& flash_bin, const ByteBuffer& eeprom_bin, int& hard_id_set,
                        int soft_id_set, int rxaddr_set, bool write_ee) {
    if (!flash_bin.empty()) {
        int rval = eraseChip ? erase_phase() : PASS_OK;
        if (rval != PASS_OK)
            return rval;
        auto flash_start = std::chrono::steady_clock::now();
        rval = flash_phase(flash_bin);
        flashMs = elapsed_ms(flash_start);
        if (rval != PASS_OK)
            return rval;
    }
    auto eeprom_start = std::chrono::steady_clock::now();
    int rval = eeprom_phase(eeprom_bin, hard_id_set, soft_id_set, rxaddr_set, write_ee);
    eepromMs = elapsed_ms(eeprom_start);
    // A record write that was sent but not confirmed may still have reached the device: its
    // hard ID is used up all the same, so that no second device gets it.
    if (rval == PASS_EEPROM_WRITE_ERROR)
        record::advance_hard_id(hard_id_set);
    if (rval != PASS_OK)
        return rval;

    std::cout << "Starting device." << std::endl;
    record::advance_hard_id(hard_id_set);
    started("start");
    auto start_start = std::chrono::steady_clock::now();
    startOp();
    usleep(START_SETTLE_USEC);
    return ended("start", PASS_OK, start_start);
}

int KorvoDfu::erase_phase() {
    std::cout << "Erasing chip... " << std::flush;
    started("erase");
    auto erase_start = std::chrono::steady_clock::now();
    if (clear_for(PASS_STATUS_CLEAR_ERROR) != PASS_OK)
        return ended("erase", PASS_STATUS_CLEAR_ERROR, erase_start);
    erase_start = std::chrono::steady_clock::now();
    int rval = eraseOp();
    eraseMs = elapsed_ms(erase_start);
    if (rval != 0) {
        std::cout << std::endl;
        report("Chip erase error",
               "was not erased, nor programmed; unplug it and plug it in again");
        return ended("erase", PASS_ERASE_ERROR, erase_start);
    }
    std::cout << "done in " << eraseMs << " ms." << std::endl;
    return ended("erase", PASS_OK, erase_start);
}

size_t KorvoDfu::count_mismatches(const ByteBuffer& flash_bin,
                                  const ByteBuffer& flash_image) const {
    size_t error_count = 0;
    for (size_t i = 0; i < flash_bin.size(); ++i) {
        if (flash_bin[i] != flash_image[i]) {
            std::cout << i;
            ++error_count;
        }
        if (error_count >= MAX_LISTED_MISMATCHES)
            return error_count;
    }
    // After an erase, what the image does not cover must read blank as well.
    for (size_t i = flash_bin.size(); eraseChip && i < flash_image.size(); ++i) {
        if (flash_image[i] != AvrParser::ERASED) {
            std::cout << i;
            ++error_count;
        }
        if (error_count >= MAX_LISTED_MISMATCHES)
            break;
    }
    return error_count;
}

int KorvoDfu::clear_for(int failure) {
    clearStatus();
    if (getStatus() == 0)
        return PASS_OK;
    std::cerr << "Status clear error" << std::endl;
    return failure;
}

int KorvoDfu::flash_phase(const ByteBuffer& flash_bin) {
    std::cout << "Writing firmware... " << std::flush;
    const auto total = static_cast<int64_t>(flash_bin.size());
    started("flash.write");
    auto write_start = std::chrono::steady_clock::now();
    if (clear_for(PASS_STATUS_CLEAR_ERROR) != PASS_OK)
        return ended("flash.write", PASS_STATUS_CLEAR_ERROR, write_start, 0, total);
    // Programming whatever memory happens to be selected would overwrite it.
    if (selectOp(FLASH) < 0) {
        report("Flash select error", "was not programmed; unplug it and plug it in again");
        return ended("flash.write", PASS_FLASH_SELECT_ERROR, write_start, 0, total);
    }
    // The read-back covers the whole image, and at least the application flash.
    ByteBuffer flash_image(std::max<size_t>(part->application_size(), flash_bin.size()));
    // A write that failed on the way shows in the read-back: the verify judges it.
    writeOp(0, flash_bin);
    ended("flash.write", PASS_OK, write_start, bytesSent, total);
    started("flash.verify");
    auto verify_start = std::chrono::steady_clock::now();
    int rval = readOp(0, flash_image);
    std::cout << "Checking... " << std::flush;

    size_t error_count = rval < 0 ? 1 : count_mismatches(flash_bin, flash_image);
    if (error_count != 0) {
        std::cout << "Abort ********** " << std::endl;
        return ended("flash.verify", PASS_VERIFY_ERROR, verify_start);
    }
    std::cout << "Passed. " << std::endl << std::endl;
    return ended("flash.verify", PASS_OK, verify_start);
}

int KorvoDfu::eeprom_phase(const ByteBuffer& eeprom_bin, int& hard_id_set, int soft_id_set,
                           int rxaddr_set, bool write_ee) {
    started("eeprom.read");
    auto read_start = std::chrono::steady_clock::now();
    if (clear_for(PASS_EEPROM_CLEAR_ERROR) != PASS_OK)
        return ended("eeprom.read", PASS_EEPROM_CLEAR_ERROR, read_start);
    ByteBuffer eeprom_buf = record::prepare(eeprom_bin);
    const size_t wanted = eeprom_buf.size();
    // With the flash still selected, the record would be read from and written over the
    // firmware.
    if (selectOp(EEPROM) < 0 || getStatus() != 0) {
        std::cerr << "EEPROM set error" << std::endl;
        return ended("eeprom.read", PASS_EEPROM_SET_ERROR, read_start);
    }
    // Writing back a record that was not read whole would overwrite the identity.
    int rval = readOp(0, eeprom_buf);
    if (rval < 0 || static_cast<size_t>(rval) < wanted) {
        report("EEPROM read error",
               "did not get its identity record; unplug it and plug it in again");
        return ended("eeprom.read", PASS_EEPROM_READ_ERROR, read_start);
    }
    recordRead = eeprom_buf;
    ended("eeprom.read", PASS_OK, read_start);
    std::cout << "Reading EEPROM." << std::endl;
    record::show(eeprom_buf);
    record::dump(eeprom_buf);
    record::merge(eeprom_buf, eeprom_bin, hard_id_set, soft_id_set, rxaddr_set);
    record::apply(eeprom_buf, hard_id_set, soft_id_set, rxaddr_set);

    if (write_ee) {
        std::cout << "\nWriting EEPROM." << std::endl;
        record::show(eeprom_buf);
        recordWritten = eeprom_buf;
        started("eeprom.write");
        auto write_start = std::chrono::steady_clock::now();
        // A write that never reached the device leaves its status clean.
        if (writeOp(0, eeprom_buf) < 0 || getStatus() != 0) {
            std::cerr << "EEPROM write error" << std::endl;
            return ended("eeprom.write", PASS_EEPROM_WRITE_ERROR, write_start);
        }
        ended("eeprom.write", PASS_OK, write_start);
    }
    return PASS_OK;
}
