#include "korvofw.h"

#include "korvodfu.h"
#include "notify.h"
#include "station_after.h"
#include "station_events.h"
#include "station_ledger.h"
#include "udevwrapper.h"
#include "write_all.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <sstream>

#ifndef KORVOFW_GIT_SFX
#define KORVOFW_GIT_SFX ""
#endif

namespace {

const char git_sfx[] = KORVOFW_GIT_SFX;
const char OPTIONS[] = "f:e:s:v:t:i:I:hr:";

constexpr int EXIT_USAGE = -1;
constexpr int EXIT_NO_LEDGER = 1;
constexpr int EXIT_LEDGER_LOST_ROWS = 1;

enum LongOption {
    OPT_LEDGER = 256,
    OPT_STATION,
    OPT_POOL,
    OPT_PORT,
    OPT_PART,
    OPT_LIST_PARTS,
    OPT_ERASE,
    OPT_EVENTS,
    OPT_AFTER,
    OPT_AFTER_TIMEOUT
};
const option LONG_OPTIONS[] = {{"ledger", required_argument, nullptr, OPT_LEDGER},
                               {"station", required_argument, nullptr, OPT_STATION},
                               {"pool", required_argument, nullptr, OPT_POOL},
                               {"port", required_argument, nullptr, OPT_PORT},
                               {"part", required_argument, nullptr, OPT_PART},
                               {"list-parts", no_argument, nullptr, OPT_LIST_PARTS},
                               {"erase", no_argument, nullptr, OPT_ERASE},
                               {"events", required_argument, nullptr, OPT_EVENTS},
                               {"after", required_argument, nullptr, OPT_AFTER},
                               {"after-timeout", required_argument, nullptr, OPT_AFTER_TIMEOUT},
                               {nullptr, 0, nullptr, 0}};
// USB allows five hubs between the root hub and a device, so a port name holds at most
// seven port numbers (the kernel's own limit); each is 1 to 255.
constexpr int MAX_PORT_NUMBERS = 7;
constexpr long MAX_PORT_NUMBER = 255;
constexpr long MAX_BUS_NUMBER = 999; // usbfs names bus directories with three digits

// EEPROM image preparation.
constexpr size_t EEPROM_MIN_SIZE = 32;
constexpr size_t EEPROM_VERSION_AREA = 22;
constexpr int VERSION_DIGITS = 40;
constexpr int TAG_DIGITS = 4;

// Flash file name analysis: name-MAJ-M-gHASH.hex
constexpr size_t NAME_FIELDS = 5;
constexpr size_t TAG_MAJOR_LENGTH = 3;
constexpr size_t TAG_MINOR_LENGTH = 1;
constexpr size_t HASH_FIELD_LENGTH = 41;

// A flash file is usable when it carries more than this many data bytes.
constexpr int MIN_FLASH_BYTES = 17;
constexpr off_t MAX_FLASH_FILE_SIZE = 64 << 20;

// Wait loop cadence.
constexpr unsigned IDLE_USEC = 250000;
constexpr unsigned AFTER_DEVICE_USEC = 2000000;
constexpr int WAITING_TEXT_EVERY = 7;
constexpr int ID_WIDTH = 4;
constexpr int RXADDR_MASK_SHIFT = 8;
// --after-timeout: from a second to a day.
constexpr long MAX_AFTER_TIMEOUT_S = 86400;

// Stopping (SIGTERM from systemctl stop, SIGINT from Ctrl-C): the first signal is only noted,
// so that a pass under way ends with its device programmed and its bookkeeping done; a second
// one ends the station at once, as the signal would without the handler.
constexpr int STOP_SIGNALS[] = {SIGTERM, SIGINT};
constexpr size_t STOP_SIGNAL_COUNT = sizeof STOP_SIGNALS / sizeof STOP_SIGNALS[0];
struct sigaction stop_inherited[STOP_SIGNAL_COUNT]; // what each did before it was caught
volatile sig_atomic_t stop_requested = 0;

void cmd_info(int argc, char** argv) {
    std::cout << "version: " << git_sfx << std::endl;
    std::cerr << "Usage: " << file_name(argc > 0 && argv[0] ? argv[0] : "korvofw") << " "
              << "[-f flash.hex] "
              << "[-r 0x8700] "
              << "[-I 0xFFF] "
              << "[-e eeprom.bin] "
              << "[-i 0x1FFF] [-s 0xFF] "
              << "[-v $(git log -n 1 --pretty=format:\"%H\")] "
              << "[-t $(git describe)] " << std::endl;
}

// A whole hex number (leading blanks, optional sign, optional 0x) that fits a 32-bit int.
bool parse_hex_number(const char* text, long& value) {
    while (std::isspace(static_cast<unsigned char>(*text)))
        ++text;
    unsigned char first = static_cast<unsigned char>(text[0]);
    if (first != '+' && first != '-' && !std::isxdigit(first))
        return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtol(text, &end, 16);
    return end != text && *end == '\0' && errno == 0 && value >= INT_MIN && value <= INT_MAX;
}

bool hex_option(char option, const char* text, long& value) {
    if (parse_hex_number(text, value))
        return true;
    std::cerr << "invalid hex number for -" << option << ": \"" << text
              << "\" (give hex digits with an optional sign and 0x, such as 1A0 or 0x1A0)"
              << std::endl;
    return false;
}

bool identity_valid(const char* name, int value, int max) {
    if (value <= max)
        return true;
    std::cerr << name << " invalid : 0x" << std::hex << value << std::dec << " most be less than 0x"
              << std::uppercase << std::hex << max << std::nouppercase << std::dec << std::endl;
    return false;
}

// "32 KiB", or the bytes when they are no whole KiB.
std::string size_text(uint32_t bytes) {
    return bytes % parts::KIB == 0 ? std::to_string(bytes / parts::KIB) + " KiB"
                                   : std::to_string(bytes) + " B";
}

// Whole seconds, 1 to MAX_AFTER_TIMEOUT_S.
bool after_timeout_option(const char* text, int& seconds) {
    errno = 0;
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end != text && *end == '\0' && errno == 0 && value >= 1 && value <= MAX_AFTER_TIMEOUT_S) {
        seconds = static_cast<int>(value);
        return true;
    }
    std::cerr << "invalid time limit for --after-timeout: \"" << text
              << "\" (give whole seconds from 1 to " << MAX_AFTER_TIMEOUT_S << ", such as 60)"
              << std::endl;
    return false;
}

// Reads the options into cfg; false when the usage text is due.
bool parse_options(int argc, char** argv, RunConfig& cfg) {
    optind = 0; // full reset, so start-up can run more than once in a process
    int c;
    long value = 0;
    while ((c = getopt_long(argc, argv, OPTIONS, LONG_OPTIONS, nullptr)) != -1) {
        switch (c) {
        case OPT_LEDGER:
            cfg.ledger = optarg;
            break;
        case OPT_STATION:
            cfg.station = optarg;
            break;
        case OPT_POOL:
            cfg.pool = optarg;
            break;
        case OPT_PORT:
            cfg.port = optarg;
            break;
        case OPT_PART:
            cfg.part_name = optarg;
            break;
        case OPT_LIST_PARTS:
            cfg.list_parts = true;
            break;
        case OPT_ERASE:
            cfg.erase = true;
            break;
        case OPT_EVENTS:
            cfg.events_path = optarg;
            break;
        case OPT_AFTER:
            cfg.after = optarg;
            break;
        case OPT_AFTER_TIMEOUT:
            if (!after_timeout_option(optarg, cfg.after_timeout))
                return false;
            break;
        case 'f':
            cfg.flash_file = optarg;
            break;
        case 'e':
            cfg.eeprom_file = optarg;
            cfg.write_ee = true;
            break;
        case 'v':
            cfg.flash_ver_set = optarg;
            cfg.write_ee = true;
            break;
        case 't':
            cfg.flash_tag_set = optarg;
            cfg.write_ee = true;
            break;
        case 'I':
        case 'i':
        case 's':
        case 'r':
            if (!hex_option(static_cast<char>(c), optarg, value))
                return false;
            if (c == 'I')
                cfg.hard_id_set = static_cast<int>(value);
            else if (c == 'i')
                cfg.hard_id_set = static_cast<int>(value >> record::HARD_ID_SHIFT);
            else if (c == 's')
                cfg.soft_id_set = static_cast<int>(value);
            else
                cfg.rxaddr_set = static_cast<int>(value);
            cfg.write_ee = true;
            break;
        default:
            return false;
        }
    }
    return optind >= argc;
}

// The table as --list-parts prints it: one line per part.
void list_parts() {
    std::printf("%-15s %-9s %-8s %-9s %-10s %-11s %-5s %-6s %s\n", "part", "USB ID", "protocol",
                "flash", "bootloader", "application", "page", "EEPROM", "signature");
    for (const parts::Part& part : parts::TABLE)
        std::printf("%-15s %04x:%04x %-8d %-9s %-10s %-11s %-5u %-6u %02X %02X %02X\n", part.name,
                    parts::ATMEL_VENDOR, part.product, part.protocol,
                    size_text(part.flash_size).c_str(), size_text(part.bootloader_size).c_str(),
                    size_text(part.application_size()).c_str(), part.page_size, part.eeprom_size,
                    part.signature[0], part.signature[1], part.signature[2]);
}

// --part names a row of the table; protocol 1 erases the chip, so it programs only with a
// flash image (its bootloader reads nothing before the erase), as does --erase.
bool part_option_valid(RunConfig& cfg) {
    if (cfg.part_name != nullptr) {
        cfg.part = parts::find(cfg.part_name);
        if (cfg.part == nullptr) {
            std::cerr << "unknown part for --part: \"" << cfg.part_name
                      << "\" (give a name as korvofw --list-parts shows it, such as atmega32u4)"
                      << std::endl;
            return false;
        }
    }
    if (cfg.flash_file != nullptr)
        return true;
    if (cfg.erase) {
        std::cerr << "--erase needs a flash image (-f): the erase clears the application"
                  << std::endl;
        return false;
    }
    if (cfg.part->protocol == parts::PROTOCOL_1) {
        std::cerr << "--part " << cfg.part->name
                  << " needs a flash image (-f): its bootloader reads and writes nothing before a"
                     " chip erase, which clears the application"
                  << std::endl;
        return false;
    }
    return true;
}

bool port_option_valid(const RunConfig& cfg) {
    if (cfg.port == nullptr || port_name_valid(cfg.port))
        return true;
    std::cerr << "invalid USB port for --port: \"" << cfg.port
              << "\" (give the port as udev names the device on it, such as 1-1.4; udevadm info"
                 " on the device shows it)"
              << std::endl;
    return false;
}

// The ledger's names must say something: a station's name is its identity there (and the
// test's, --after). Stations side by side on one host differ by their ports.
bool ledger_names_valid(RunConfig& cfg) {
    if (cfg.after != nullptr && *cfg.after == '\0') {
        std::cerr << "--after needs a command that is not empty" << std::endl;
        return false;
    }
    if (cfg.ledger == nullptr && cfg.after == nullptr)
        return true;
    if (cfg.station.empty()) {
        char host[HOST_NAME_MAX + 1] = {};
        gethostname(host, sizeof host - 1);
        cfg.station = host;
        if (cfg.port != nullptr)
            cfg.station = cfg.station + ":" + cfg.port;
    }
    if (cfg.ledger == nullptr)
        return true;
    if (*cfg.ledger != '\0' && !cfg.station.empty() && !cfg.pool.empty())
        return true;
    std::cerr << "--ledger, --station and --pool need a name that is not empty" << std::endl;
    return false;
}

// Splits the flash file's name into fields; name-MAJ-M-gHASH gives tag and commit id.
void analyse_file_name(RunConfig& cfg) {
    std::string ff = cfg.flash_file;
    std::string path = extract_path(ff);
    std::string ext = extract_ext(ff);
    std::vector<std::string> fields;
    do {
        fields.push_back(extract_field(ff));
    } while (!fields.back().empty());

    if (fields.size() == NAME_FIELDS && fields[1].size() == TAG_MAJOR_LENGTH &&
        fields[2].size() == TAG_MINOR_LENGTH && fields[3].size() == HASH_FIELD_LENGTH) {
        cfg.version_tag = fields[1] + fields[2];
        cfg.hash_tag = fields[3].substr(1);
        cfg.flash_tag_set = cfg.version_tag.c_str();
        cfg.flash_ver_set = cfg.hash_tag.c_str();
        cfg.write_ee = true;
    }
}

// Why a flash file cannot be read at all, from its directory entry; empty when it can.
std::string flash_file_problem(const char* flash_file) {
    struct stat st;
    if (stat(flash_file, &st) != 0)
        return errno == ENOENT ? "it does not exist" : std::strerror(errno);
    if (S_ISDIR(st.st_mode))
        return "it is a directory";
    if (!S_ISREG(st.st_mode))
        return "it is not a regular file";
    // Intel HEX for a 64 KiB image is well under a megabyte; anything this size is not one.
    if (st.st_size > MAX_FLASH_FILE_SIZE)
        return "it holds " + std::to_string(st.st_size) +
               " bytes, more than any firmware image needs";
    if (access(flash_file, R_OK) != 0)
        return std::string("it cannot be read: ") + std::strerror(errno);
    return std::string();
}

// Why a parsed file gives no image for the device; empty when it gives one.
std::string image_problem(const AvrParser& ihex, int parse_rval, const ByteBuffer& image,
                          const parts::Part& part) {
    if (parse_rval < 0)
        return ihex.fault.empty() ? "it is no Intel HEX text" : ihex.fault;
    if (parse_rval == 0)
        return "it holds no data records";
    if (parse_rval < MIN_FLASH_BYTES)
        return "it holds only " + std::to_string(parse_rval) +
               " data bytes, too few for a firmware image";
    // A copy stopped short (halfway, or on a full disk) ends where it was cut.
    if (!ihex.endSeen)
        return "it does not end with an end-of-file record (type 01): it was cut short, copied "
               "halfway or onto a full disk";
    if (image.size() > part.application_size()) {
        std::ostringstream why;
        why << "it needs flash up to address 0x" << std::hex << std::uppercase
            << ihex.base() + static_cast<int32_t>(image.size()) - 1
            << ", beyond the device's application flash (0x0000 to 0x"
            << part.application_size() - 1 << ")";
        if (part.protocol == parts::PROTOCOL_1)
            why << ": the " << part.name << "'s bootloader starts at 0x" << part.application_size();
        return why.str();
    }
    return std::string();
}

// Reads and parses the flash file into an image; the parser's byte count, or -1 with `why`
// set when the file gives no image the device can take (image is then left as it was).
int load_flash(const char* flash_file, const parts::Part& part, ByteBuffer& image,
               std::string& why) {
    why = flash_file_problem(flash_file);
    if (!why.empty())
        return -1;
    ByteBuffer text, parsed;
    read_file(flash_file, text);
    AvrParser ihex;
    ihex.addressLimit = std::max<int32_t>(IntelHex::ADDRESS_SPACE, part.flash_size);
    int parse_rval = ihex.parse(text.data(), static_cast<int>(text.size()), 0);
    if (parse_rval >= MIN_FLASH_BYTES)
        ihex.copy(parsed);
    why = image_problem(ihex, parse_rval, parsed, part);
    if (!why.empty())
        return -1;
    image.swap(parsed);
    return parse_rval;
}

void load_flash_at_startup(RunConfig& cfg) {
    analyse_file_name(cfg);
    std::string why;
    int parse_rval = load_flash(cfg.flash_file, *cfg.part, cfg.flash_bin, why);
    if (parse_rval < 0) {
        // The station still starts: the file is read again for every device.
        std::cerr << "Flash file " << cfg.flash_file
                  << " could not be read as a firmware image: " << why
                  << "; no device will be programmed until it is fixed" << std::endl;
        return;
    }
    std::cout << "Parsed firmware file: " << cfg.flash_file << " : "
              << "v" << cfg.version_tag << " " << cfg.hash_tag << " " << parse_rval << " bytes"
              << std::endl;
}

void prepare_eeprom_image(RunConfig& cfg) {
    if (cfg.eeprom_file != nullptr) {
        read_file(cfg.eeprom_file, cfg.eeprom_bin);
        if (cfg.hard_id_set != 0 && cfg.eeprom_bin.size() < EEPROM_MIN_SIZE)
            cfg.eeprom_bin.resize(EEPROM_MIN_SIZE, record::BLANK);
    }
    if (cfg.flash_file != nullptr) {
        if (cfg.eeprom_bin.size() < EEPROM_VERSION_AREA)
            cfg.eeprom_bin.assign(EEPROM_VERSION_AREA, 0);
        if (cfg.flash_ver_set != nullptr)
            convert_string(cfg.flash_ver_set, VERSION_DIGITS,
                           &cfg.eeprom_bin[record::VERSION_OFFSET]);
        if (cfg.flash_tag_set != nullptr)
            convert_string(cfg.flash_tag_set, TAG_DIGITS, &cfg.eeprom_bin[record::TAG_OFFSET]);
    }
}

std::string directory_of(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool same_file(const struct stat& a, const char* other) {
    struct stat b;
    return other != nullptr && stat(other, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The image file is rewritten after every device, so one that exists must be a regular file
// we can read, that fits the device's EEPROM and is not the flash file; one that does not
// exist yet is created in its directory, which must exist.
bool eeprom_file_usable(const RunConfig& cfg) {
    const char* name = cfg.eeprom_file;
    struct stat st;
    std::string problem;
    const char* fix = "give a readable file, or a new name to start one";
    if (stat(name, &st) != 0) {
        struct stat dir;
        if (errno != ENOENT)
            problem = std::strerror(errno);
        else if (stat(directory_of(name).c_str(), &dir) != 0 || !S_ISDIR(dir.st_mode)) {
            problem = "its directory " + directory_of(name) + " does not exist";
            fix = "create the directory, or give a file in one that exists";
        } else
            return true; // created after the first device
    } else if (S_ISDIR(st.st_mode))
        problem = "is a directory";
    else if (!S_ISREG(st.st_mode))
        problem = "is not a regular file";
    else if (access(name, R_OK) != 0)
        problem = "cannot be read";
    else if (same_file(st, cfg.flash_file)) {
        problem = "is the flash file given with -f";
        fix = "give the EEPROM image a file of its own";
    } else if (static_cast<size_t>(st.st_size) > cfg.part->eeprom_size) {
        problem = "holds " + std::to_string(st.st_size) + " bytes, more than the " +
                  (cfg.part_name != nullptr ? std::string(cfg.part->name) : "device") + "'s " +
                  std::to_string(cfg.part->eeprom_size) + "-byte EEPROM";
        fix = "give an image of at most that size";
    } else
        return true;
    std::cerr << "EEPROM image file " << name << ": " << problem << "; " << fix << std::endl;
    return false;
}

} // namespace

namespace {

// A number from 1 to max at p, in decimal: the text after it, or null.
const char* port_number(const char* p, long max) {
    if (*p < '1' || *p > '9')
        return nullptr;
    errno = 0;
    char* end = nullptr;
    long number = std::strtol(p, &end, 10);
    return errno == 0 && number <= max ? end : nullptr;
}

} // namespace

bool port_name_valid(const char* name) {
    const char* p = port_number(name, MAX_BUS_NUMBER);
    if (p == nullptr || *p != '-')
        return false;
    for (int numbers = 1; numbers <= MAX_PORT_NUMBERS; ++numbers) {
        p = port_number(p + 1, MAX_PORT_NUMBER);
        if (p == nullptr || *p == '\0')
            return p != nullptr;
        if (*p != '.')
            return false;
    }
    return false;
}

int startup(int argc, char** argv, RunConfig& cfg) {
    if (!parse_options(argc, argv, cfg)) {
        cmd_info(argc, argv);
        return EXIT_USAGE;
    }
    if (cfg.list_parts) {
        list_parts();
        return EXIT_SUCCESS;
    }
    if (!part_option_valid(cfg) || !port_option_valid(cfg) || !ledger_names_valid(cfg))
        return EXIT_USAGE;
    if (!identity_valid("hard ID", cfg.hard_id_set, record::HARD_ID_MAX) ||
        !identity_valid("soft ID", cfg.soft_id_set, record::SOFT_ID_MAX) ||
        !identity_valid("RXaddr", cfg.rxaddr_set, record::RXADDR_MAX))
        return EXIT_USAGE;
    if (cfg.eeprom_file != nullptr && !eeprom_file_usable(cfg))
        return EXIT_USAGE;
    if (cfg.flash_file != nullptr)
        load_flash_at_startup(cfg);
    prepare_eeprom_image(cfg);
    return RUN_ON;
}

namespace {

// The cause and the fix, then what it means for the line (`outcome`).
void report_write_failure(const char* name, const std::string& outcome) {
    int cause = errno;
    bool protected_file = access(name, F_OK) == 0 && access(name, W_OK) != 0;
    const char* fix = protected_file ? "make the file writable for the station"
                                     : "make its directory writable for the station (and free"
                                       " space there)";
    std::cerr << "Cannot write the EEPROM image file " << name << ": " << std::strerror(cause)
              << "; " << fix << ". " << outcome << std::endl;
}

// Writes the image file; a failure is reported every time (-1), a rewrite in place once.
int save_eeprom_file(const char* name, const ByteBuffer& bin, const std::string& outcome) {
    static bool told_in_place = false;
    int rval = write_file(name, bin);
    if (rval < 0) {
        report_write_failure(name, outcome);
        return -1;
    }
    if (rval == WRITTEN_IN_PLACE && !told_in_place) {
        std::cerr << "The directory of the EEPROM image file " << name
                  << " cannot be written, so the file is rewritten in place: a crash or power"
                     " loss while it is written could tear it. Make the directory writable for"
                     " the station to have it replaced atomically"
                  << std::endl;
        told_in_place = true;
    }
    return 0;
}

bool keeps_eeprom_file(const RunConfig& cfg) {
    return cfg.eeprom_file != nullptr && cfg.eeprom_bin.size() >= EEPROM_MIN_SIZE;
}

// Before a hard ID goes to a device the file already names the next one, so a station
// restarted from it after a crash can skip an ID but never hand one out twice. When the file
// cannot name it, the device is not programmed: -1.
int reserve_hard_id(const RunConfig& cfg, const UdevWrapper& devDetect) {
    if (cfg.hard_id_set <= 0 || !keeps_eeprom_file(cfg))
        return 0;
    ByteBuffer reserved = cfg.eeprom_bin;
    record::put_hard_id(reserved, cfg.hard_id_set + 1);
    std::ostringstream outcome;
    outcome << "The device on bus " << devDetect.bus_num << ", device " << devDetect.dev_num
            << " was not programmed, and hard ID 0x" << std::hex << std::setw(ID_WIDTH)
            << std::setfill('0') << cfg.hard_id_set
            << " not given out: the file must name the next hard ID before a device gets one. "
               "Plug the device in again once the file can be written";
    return save_eeprom_file(cfg.eeprom_file, reserved, outcome.str());
}

void update_eeprom_image(RunConfig& cfg) {
    if (cfg.eeprom_bin.size() < EEPROM_MIN_SIZE)
        return;
    cfg.eeprom_bin[record::CLEARED_OFFSET] = 0;
    if (cfg.hard_id_set > 0)
        record::put_hard_id(cfg.eeprom_bin, cfg.hard_id_set);
    if (cfg.soft_id_set > 0)
        record::put_soft_id(cfg.eeprom_bin, cfg.soft_id_set);
    if (cfg.rxaddr_set > 0)
        record::put_rxaddr(cfg.eeprom_bin, cfg.rxaddr_set);
    if (cfg.eeprom_file == nullptr)
        return;
    std::cout << "Updating " << cfg.eeprom_file << std::endl;
    save_eeprom_file(cfg.eeprom_file, cfg.eeprom_bin,
                     "Until then the file lags behind: restart with -I from the last \"next "
                     "unique ID\" shown, not from the file");
}

void advance_rxaddr(int& rxaddr_set) {
    if (rxaddr_set == -1)
        return;
    // The low byte counts within the bits set in the high byte.
    int rxaddr_mask = (rxaddr_set >> RXADDR_MASK_SHIFT) | rxaddr_set;
    rxaddr_set = (rxaddr_set + 1) & rxaddr_mask;
}

void report_used_up(const RunConfig& cfg, const UdevWrapper& devDetect) {
    std::cerr << "All hard IDs are used up; the device on bus " << devDetect.bus_num << ", device "
              << devDetect.dev_num
              << " was not programmed. Stop the station: no hard ID is left to hand out";
    // The 13-bit field cannot hold "used up": the next ID, 0x2000, is stored as 0.
    if (keeps_eeprom_file(cfg) && cfg.hard_id_set > record::HARD_ID_MAX)
        std::cerr << ". " << cfg.eeprom_file << " now holds hard ID 0: a station restarted"
                  << " from it would give devices no hard ID";
    std::cerr << std::endl;
}

// One bootloader device: reload the image, program it, then the bookkeeping. With a
// ledger, the ledger hands out the hard ID and keeps the device's row. What became of it goes
// to `outcome`. 0, or STOP_STATION when the station must stop.
int program_pass(RunConfig& cfg, const UdevWrapper& devDetect, int& device_count, StationLedger* sl,
                 DeviceOutcome& outcome) {
    std::cout << std::endl;
    if (sl == nullptr && !identity_valid("hard ID", cfg.hard_id_set, record::HARD_ID_MAX)) {
        report_used_up(cfg, devDetect);
        outcome.message = "All hard IDs are used up";
        return 0;
    }
    if (cfg.flash_file != nullptr) {
        std::cout << "Loading Flash." << std::endl;
        std::string why;
        if (load_flash(cfg.flash_file, *cfg.part, cfg.flash_bin, why) < 0) {
            std::cerr << "Flash file " << cfg.flash_file
                      << " could not be read as a firmware image: " << why << "; the device on bus "
                      << devDetect.bus_num << ", device " << devDetect.dev_num
                      << " was not programmed. Fix the file and plug the device in again."
                      << std::endl;
            outcome.message = "Flash file " + std::string(cfg.flash_file) +
                              " could not be read as a firmware image: " + why;
            return 0;
        }
    }
    if (sl == nullptr) {
        if (reserve_hard_id(cfg, devDetect) != 0) {
            outcome.message =
                "The EEPROM image file " + std::string(cfg.eeprom_file) + " cannot be written";
            return 0;
        }
    } else {
        int rval = begin_device(*sl, cfg, devDetect);
        if (rval == ledger::NO_ID_LEFT)
            report_used_up(cfg, devDetect);
        if (rval != 0) {
            outcome.message = rval == ledger::NO_ID_LEFT ? "All hard IDs are used up"
                                                         : "The ledger did not take the device";
            return rval == STOP_STATION ? STOP_STATION : 0;
        }
        outcome.row = sl->attempt.row_id;
    }
    const int hard_id_before = cfg.hard_id_set;

    KorvoDfu loader(*cfg.part, cfg.erase);
    PassWatch watch(cfg, devDetect);
    loader.observer = &watch;
    int rval =
        loader.try_device(devDetect.bus_num, devDetect.dev_num, cfg.flash_bin, cfg.eeprom_bin,
                          cfg.hard_id_set, cfg.soft_id_set, cfg.rxaddr_set, cfg.write_ee);
    outcome.take(loader, rval);
    if (sl != nullptr && end_device(*sl, cfg, loader, rval, hard_id_before) == STOP_STATION)
        return STOP_STATION;

    update_eeprom_image(cfg);
    std::cout << std::endl;
    if (cfg.hard_id_set > 0)
        std::cout << "next unique ID (" << std::hex << std::setw(ID_WIDTH) << std::setfill('0')
                  << cfg.hard_id_set << std::dec << std::setfill(' ') << std::endl;
    if (sl != nullptr)
        report_ids_left(*sl, cfg);
    advance_rxaddr(cfg.rxaddr_set);
    // With --after a device counts once it passed its test too.
    bool passed = true;
    if (rval == PASS_OK && cfg.after != nullptr &&
        test_device(cfg, devDetect, loader, sl, passed) == STOP_STATION)
        return STOP_STATION;
    if (rval == PASS_OK && passed)
        ++device_count;
    return 0;
}

// "Waiting (3 devices); last: 0x0123 ok", or the failure: the service's status after a device.
std::string service_status(int device_count, const DeviceOutcome& outcome, bool counted,
                           const std::string& port) {
    std::ostringstream text;
    text << "Waiting (" << device_count << " devices); last: ";
    // The device by the hard ID it was sent, or by its port when it got none.
    const ByteBuffer& record = outcome.record_written;
    if (record.size() > record::HARD_ID_OFFSET + 1)
        text << "0x" << std::hex << std::uppercase << std::setw(ID_WIDTH) << std::setfill('0')
             << record::hard_id(record);
    else
        text << port;
    text << " " << (counted ? "ok" : outcome.message);
    return text.str();
}

// The pass with its events around it: every device.arrived gets exactly one device.ended.
int program_device(RunConfig& cfg, const UdevWrapper& devDetect, int& device_count,
                   StationLedger* sl) {
    device_arrived(cfg, devDetect);
    DeviceOutcome outcome;
    const int count_before = device_count;
    int rval = program_pass(cfg, devDetect, device_count, sl, outcome);
    device_ended(cfg, devDetect, outcome, device_count > count_before);
    notify::status(
        service_status(device_count, outcome, device_count > count_before, devDetect.port));
    return rval;
}

// Takes the next arrival; true when it names a bootloader device this station programs. A
// station bound to a port passes over, in the same round, every arrival that is not of a device
// on its port (another port's, or one whose device has gone again), so that its neighbours'
// devices never hold up its own.
bool bootloader_arrived(UdevWrapper& devDetect, const RunConfig& cfg) {
    for (;;) {
        bool device = devDetect.poll(0);
        if (cfg.port == nullptr || (device && devDetect.port == cfg.port))
            return device && devDetect.vend_num == BOOTLOADER_VENDOR &&
                   devDetect.prod_num == cfg.part->product;
        if (!device && devDetect.ret <= 0)
            return false; // nothing pending
    }
}

// The handler: notes the stop and gives both signals back what they did before, so that the
// next one acts at once.
void note_stop(int) {
    stop_requested = 1;
    for (size_t i = 0; i < STOP_SIGNAL_COUNT; ++i)
        sigaction(STOP_SIGNALS[i], &stop_inherited[i], nullptr);
}

// A signal the station was started with ignored stays ignored. SA_RESTART keeps the pass's
// transfers and file and ledger writes going; only a sleep (or udev's select) ends early.
void catch_stop_signals() {
    struct sigaction action {};
    action.sa_handler = note_stop;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signo : STOP_SIGNALS)
        sigaddset(&action.sa_mask, signo);
    for (size_t i = 0; i < STOP_SIGNAL_COUNT; ++i) {
        if (sigaction(STOP_SIGNALS[i], nullptr, &stop_inherited[i]) == 0 &&
            stop_inherited[i].sa_handler != SIG_IGN)
            sigaction(STOP_SIGNALS[i], &action, nullptr);
    }
}

// Sleeps unless the station is stopping; true when it goes on.
bool pause_unless_stopped(unsigned usec) {
    if (stop_requested == 0)
        usleep(usec);
    return stop_requested == 0;
}

// Returns once a stop signal came (at once while waiting, after the device in hand is done):
// 0; or when the ledger lost rows this station wrote: EXIT_LEDGER_LOST_ROWS.
int wait_loop(RunConfig& cfg, StationLedger* sl) {
    UdevWrapper devDetect;
    int device_count = 0;
    int iter_count = WAITING_TEXT_EVERY;
    notify::ready("Waiting (0 devices)");
    for (;;) {
        notify::watchdog();
        if (bootloader_arrived(devDetect, cfg)) {
            if (program_device(cfg, devDetect, device_count, sl) == STOP_STATION)
                return EXIT_LEDGER_LOST_ROWS;
            if (!pause_unless_stopped(AFTER_DEVICE_USEC))
                break;
            iter_count = WAITING_TEXT_EVERY;
        }
        if (!pause_unless_stopped(IDLE_USEC))
            break;
        if (sl != nullptr && (sl->pending || sl->test_pending) &&
            retry_pending(*sl) == STOP_STATION)
            return EXIT_LEDGER_LOST_ROWS;
        std::cout << "." << std::flush;
        if ((iter_count & WAITING_TEXT_EVERY) == WAITING_TEXT_EVERY)
            std::cout << "\rWaiting (" << device_count << " devices) " << std::flush;
        ++iter_count;
    }
    std::cout << std::endl << "Stopped." << std::endl;
    return 0;
}

// The stream names the station as the ledger does: --station, or the host (and its port).
int open_events(RunConfig& cfg) {
    if (cfg.events.open(cfg.events_path) != 0)
        return -1;
    cfg.events.station = cfg.station;
    if (cfg.events.station.empty()) {
        char host[HOST_NAME_MAX + 1] = {};
        gethostname(host, sizeof host - 1);
        cfg.events.station = cfg.port != nullptr ? std::string(host) + ":" + cfg.port : host;
    }
    cfg.events.port = cfg.port != nullptr ? cfg.port : "";
    events::catch_hangup();
    station_started(cfg);
    return 0;
}

} // namespace

// ---------------------------------------------------------------------------------------
// Text, hex and file helpers

const char* file_name(const char* full_path) {
    const char* slash = std::strrchr(full_path, '/');
    return slash != nullptr ? slash + 1 : full_path;
}

size_t ifs_size(std::ifstream& ifs) {
    std::streampos here = ifs.tellg();
    ifs.seekg(0, std::ios::end);
    std::streampos size = ifs.tellg();
    ifs.seekg(here);
    return size < 0 ? 0 : static_cast<size_t>(size);
}

std::string extract_path(std::string& full_path) {
    size_t slash = full_path.rfind('/');
    if (slash == std::string::npos)
        return "./";
    std::string path = full_path.substr(0, slash + 1);
    full_path.erase(0, slash + 1);
    return path;
}

std::string extract_ext(std::string& file_name) {
    size_t dot = file_name.rfind('.');
    if (dot == std::string::npos)
        return "";
    std::string ext = file_name.substr(dot);
    file_name.erase(dot);
    return ext;
}

std::string extract_field(std::string& file_name) {
    size_t dash = file_name.find('-');
    if (dash == 0)
        return "";
    std::string field = file_name.substr(0, dash);
    file_name.erase(0, dash == std::string::npos ? dash : dash + 1);
    return field;
}

void read_file(const char* name, ByteBuffer& bin) {
    bin.clear();
    // Only regular files: a FIFO would block the station, a directory has no bytes.
    struct stat st;
    if (stat(name, &st) != 0 || !S_ISREG(st.st_mode))
        return;
    std::ifstream ifs(name, std::ios::in | std::ios::binary);
    if (!ifs)
        return;
    bin.resize(ifs_size(ifs));
    ifs.seekg(0, std::ios::beg);
    ifs.read(reinterpret_cast<char*>(bin.data()), static_cast<std::streamsize>(bin.size()));
    bin.resize(static_cast<size_t>(ifs.gcount()));
}

namespace {

constexpr int MAX_LINK_DEPTH = 40; // as the kernel allows

// The file a symbolic link names is the one rewritten, not the link, even when that file
// does not exist yet: a plain open would create it there.
std::string resolve_target(const char* name) {
    std::string path = name;
    for (int depth = 0; depth < MAX_LINK_DEPTH; ++depth) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return path;
        std::string link(PATH_MAX, '\0');
        ssize_t n = readlink(path.c_str(), &link[0], link.size());
        if (n < 0 || static_cast<size_t>(n) >= link.size())
            return path;
        link.resize(static_cast<size_t>(n));
        path = link[0] == '/' || path.find('/') == std::string::npos
                   ? link
                   : directory_of(path) + "/" + link;
    }
    return path;
}

mode_t new_file_mode() {
    mode_t mask = umask(0);
    umask(mask);
    return (S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH) & ~mask;
}

void sync_directory(const std::string& dir) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// Where the directory cannot take a temporary file, the file itself is rewritten.
int write_in_place(const std::string& target, const ByteBuffer& bin) {
    int fd = open(target.c_str(), O_WRONLY);
    if (fd < 0)
        return -1;
    bool ok = write_all(fd, bin.data(), bin.size()) &&
              ftruncate(fd, static_cast<off_t>(bin.size())) == 0 && fsync(fd) == 0;
    int saved_errno = errno;
    ok = close(fd) == 0 && ok;
    if (!ok)
        errno = saved_errno;
    return ok ? WRITTEN_IN_PLACE : -1;
}

} // namespace

int write_file(const char* name, const ByteBuffer& bin) {
    std::string target = resolve_target(name);
    struct stat st;
    bool exists = stat(target.c_str(), &st) == 0;
    // A name a plain open could not follow either (a loop of links, a file where a directory
    // should be) is refused as that open would refuse it, and nothing is replaced.
    if (!exists && errno != ENOENT)
        return -1;
    // A write-protected file is refused as a plain write would refuse it.
    if (exists && access(target.c_str(), W_OK) != 0)
        return -1;
    std::string temp = target + ".XXXXXX";
    int fd = mkstemp(&temp[0]);
    if (fd < 0)
        return exists && errno == EACCES ? write_in_place(target, bin) : -1;
    mode_t mode = exists ? st.st_mode & (S_IRWXU | S_IRWXG | S_IRWXO) : new_file_mode();
    // The replacement keeps the file's owner and group; only root may give them away.
    bool ok = !exists || geteuid() != 0 || fchown(fd, st.st_uid, st.st_gid) == 0;
    ok = ok && fchmod(fd, mode) == 0 && write_all(fd, bin.data(), bin.size()) && fsync(fd) == 0;
    int saved_errno = errno;
    ok = close(fd) == 0 && ok;
    if (ok && rename(temp.c_str(), target.c_str()) == 0) {
        sync_directory(directory_of(target));
        return 0;
    }
    saved_errno = ok ? errno : saved_errno;
    unlink(temp.c_str());
    errno = saved_errno;
    return -1;
}

// ---------------------------------------------------------------------------------------

int korvofw_main(int argc, char** argv) {
    RunConfig cfg;
    int status = startup(argc, argv, cfg);
    if (status != RUN_ON)
        return status;
    if (cfg.events_path != nullptr && open_events(cfg) != 0)
        return EXIT_USAGE;
    StationLedger sl;
    sl.events = &cfg.events;
    if (cfg.ledger != nullptr && open_station_ledger(cfg, sl) != 0) {
        station_stopping(cfg, "no ledger", EXIT_NO_LEDGER);
        return EXIT_NO_LEDGER;
    }
    catch_stop_signals();
    status = wait_loop(cfg, cfg.ledger != nullptr ? &sl : nullptr);
    station_stopping(cfg, status == 0 ? "signal" : "ledger lost rows", status);
    return status;
}
