// The station's entry point, its run configuration and its file helpers.
#pragma once

#include "events.h"
#include "hextext.h"
#include "parts/parts.h"

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

// The part of a path after its last '/'.
const char* file_name(const char* full_path);
size_t ifs_size(std::ifstream& ifs);
std::string extract_path(std::string& full_path);
std::string extract_ext(std::string& file_name);
std::string extract_field(std::string& file_name);
// Replaces bin with the file's bytes; empty when the file cannot be read.
void read_file(const char* name, ByteBuffer& bin);
// Replaces the file's content with bin, atomically: a crash leaves the old file or the new
// one, never a torn one. A write-protected file is refused. Where the directory takes no
// temporary file, the file is rewritten in place with fsync instead. Returns 0,
// WRITTEN_IN_PLACE, or -1 with errno set when the file could not be written.
constexpr int WRITTEN_IN_PLACE = 1;
int write_file(const char* name, const ByteBuffer& bin);

// The run configuration: options, identity values and the two images.
struct RunConfig {
    const char* flash_file = nullptr;
    const char* eeprom_file = nullptr;
    const char* flash_ver_set = nullptr;
    const char* flash_tag_set = nullptr;
    int hard_id_set = -1;
    int soft_id_set = -1;
    int rxaddr_set = -1;
    bool write_ee = false;
    ByteBuffer flash_bin;
    ByteBuffer eeprom_bin;
    // The device ledger (long options only): where it is, this station's name in it and
    // the hard-ID space drawn from.
    const char* ledger = nullptr;
    std::string station;
    std::string pool = "default";
    // The one USB port whose devices this station takes (--port), as udev names it; null:
    // every port.
    const char* port = nullptr;
    // The part whose bootloader the station takes and programs (--part, as given: null
    // without it), and --list-parts.
    const char* part_name = nullptr;
    const parts::Part* part = &parts::default_part();
    bool list_parts = false;
    // A chip erase before the flash is written (--erase; always on protocol 1).
    bool erase = false;
    // The command run after each device the pass programmed (--after, null: none), and its
    // time limit in seconds (--after-timeout).
    const char* after = nullptr;
    int after_timeout = 60;
    // Filled by the file-name analysis; flash_ver_set and flash_tag_set may point here.
    std::string version_tag;
    std::string hash_tag;
    // The event stream (--events PATH, as given: null without it); inactive without it.
    const char* events_path = nullptr;
    events::EventStream events;
};

// No exit status: start-up went through and the station waits for devices.
constexpr int RUN_ON = 256;

// A USB port as udev names the device on it: bus number, '-', then the port numbers from the
// root hub down, joined by '.', such as 1-1.4.
bool port_name_valid(const char* name);

// Options, identity tests, flash file and EEPROM image. Returns RUN_ON when the station
// goes on to wait for devices, otherwise the exit status.
int startup(int argc, char** argv, RunConfig& cfg);

// The whole station: start-up, then the wait loop until SIGTERM or SIGINT stops it (status 0)
// or the ledger loses rows this station wrote (status 1).
int korvofw_main(int argc, char** argv);
