// DFU class requests and the FLIP command layouts spoken by the AVR USB bootloader.
#pragma once

#include <cstdint>

// USB vendor of every Atmel bootloader; the product ID tells the part.
constexpr int BOOTLOADER_VENDOR = 0x03EB;

// DFU 1.1 class requests (bRequest values).
enum DFU_REQUEST : int {
    DFU_DNLOAD = 1,
    DFU_UPLOAD = 2,
    DFU_GETSTATUS = 3,
    DFU_CLRSTATUS = 4,
};

// bmRequestType: class request addressed to an interface, with its direction.
constexpr int DFU_REQUEST_TYPE_OUT = 0x21;
constexpr int DFU_REQUEST_TYPE_IN = 0xA1;

constexpr int DFU_INTERFACE = 0;
constexpr int DFU_BLOCK_NUMBER = 0;
constexpr int DFU_TIMEOUT_MS = 2000;
// A chip erase holds its request until the flash is blank: a megaAVR erases its pages one by
// one, over two seconds on the 128 KiB parts.
constexpr int DFU_ERASE_TIMEOUT_MS = 20000;

// Program data travels in one download block: command header, data, trailer.
constexpr int DFU_SEGMENT_SIZE = 1024;
constexpr int DFU_BLOCK_TRAILER_SIZE = 16;
constexpr int FLIP_PAGE = 0;

// The 6-byte status block returned by DFU_GETSTATUS.
struct __attribute__((packed)) DFU_STATUS {
    uint8_t bStatus;
    uint8_t bwPollTimeout[3];
    uint8_t bState;
    uint8_t iString;
};
static_assert(sizeof(DFU_STATUS) == 6, "DFU status reply is 6 bytes on the wire");

// One FLIP command as carried in a DFU download.
struct __attribute__((packed)) FLIP_PACKET {
    enum : uint8_t {
        CMD_GROUP_DOWNLOAD = 1,
        CMD_PROGRAM_START = 0,
        CMD_GROUP_UPLOAD = 3,
        CMD_READ_MEMORY = 0,
        CMD_BLANK_CHECK = 1,
        CMD_GROUP_EXEC = 4,
        CMD_ERASE = 0,
        CMD_ERASE_DATA1 = 255,
        CMD_START_APPLI = 3,
        START_APPLI_RESET = 0,
        START_APPLI_NO_RESET = 1,
        CMD_GROUP_SELECT = 6,
        CMD_SELECT_MEMORY = 3,
        CMD_SELECT_MEMORY_UNIT = 0,
        CMD_SELECT_MEMORY_PAGE = 1,
    };

    uint8_t group_enum;
    uint8_t cmd_enum;
    union {
        struct {
            uint8_t data1, data2, data3, data4;
        };
        struct {
            uint8_t start1, start0, end1, end0;
        };
    };

    void command_raw(uint8_t group, uint8_t cmd, uint8_t d1, uint8_t d2, uint8_t d3, uint8_t d4) {
        group_enum = group;
        cmd_enum = cmd;
        data1 = d1;
        data2 = d2;
        data3 = d3;
        data4 = d4;
    }
    void command_exec(uint8_t group, uint8_t cmd, uint8_t d1) {
        command_raw(group, cmd, d1, 0, 0, 0);
    }
    void command_range(uint8_t group, uint8_t cmd, uint16_t start_address, uint16_t end_address) {
        command_raw(group, cmd, start_address >> 8, start_address & 0xFF, end_address >> 8,
                    end_address & 0xFF);
    }
};
static_assert(sizeof(FLIP_PACKET) == 6, "FLIP command is 6 bytes on the wire");

// The start command goes out without its last argument byte (protocol 1 reads the two after
// the mode as the address to jump to: 0).
constexpr int FLIP_START_LENGTH = 5;
// The chip erase is complete after its argument.
constexpr int FLIP_ERASE_LENGTH = 3;

// Memory units selectable with CMD_SELECT_MEMORY_UNIT: FLIP numbers them in this order from 0.
enum MEMORY_UNIT : int {
    FLASH = 0,
    EEPROM,
    SECURITY,
    CONFIGURATION,
    BOOTLOADER,
    SIGNATURE,
    USER,
    INT_RAM,
    EXT_MEM_CS0,
    EXT_MEM_CS1,
    EXT_MEM_CS2,
    EXT_MEM_CS3,
    EXT_MEM_CS4,
    EXT_MEM_CS5,
    EXT_MEM_CS6,
    EXT_MEM_CS7,
    EXT_MEM_DF,
};
static_assert(EXT_MEM_DF == 16, "FLIP has 17 memory units");

// What the two FLIP protocols do differently; every other request they share. Protocol 1 is
// the megaAVR bootloader's, protocol 2 the XMEGA one's.
struct FlipProtocol {
    // A program command's header fills one packet of the control endpoint: the data start in
    // the next one, at their address's offset within a packet.
    int header_size;
    // Protocol 2 selects flash or EEPROM as a memory unit before using it; protocol 1 names
    // the memory in each program and read command instead.
    bool selects_units;
    uint8_t program_command[2]; // second byte of a program command, for FLASH and EEPROM
    uint8_t read_command[2];    // second byte of a read command, for FLASH and EEPROM
    uint8_t page_select;        // the byte after 06 03 that makes the command a page select
    int page_number_bytes;      // the 64 KiB page's number after it, most significant first
};

constexpr FlipProtocol FLIP_PROTOCOLS[] = {
    {32, false, {0x00, 0x01}, {0x00, 0x02}, 0x00, 1}, // protocol 1: 06 03 00 PP
    {64, true, {0x00, 0x00}, {0x00, 0x00}, 0x01, 2},  // protocol 2: 06 03 01 PH PL
};

inline const FlipProtocol& flip_protocol(int version) {
    return FLIP_PROTOCOLS[version - 1];
}
