// Start-up on any command line, EEPROM image file and flash file.
//
// Input: the arguments, one per line, then a NUL; one byte giving the EEPROM image file's
// length and that many bytes; the rest is the flash file. Without a NUL the whole input is
// arguments and both files are empty. In the arguments @E stands for the EEPROM image
// file, @F for the flash file and @T for the same flash file under a name that carries a
// tag and a commit id (name-MAJ-M-gHASH.hex).
#include "korvofw.h"
#include "output_counter.h"

#include <fcntl.h>
#include <getopt.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr size_t MAX_ARGS = 16;

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

struct Files {
    std::string dir;
    std::string eeprom;
    std::string flash;
    std::string tagged;
};
Files files;
OutputCounter out;

// Messages name options, files and records, so they grow no faster than the input.
constexpr size_t OUTPUT_PER_INPUT_BYTE = 4;
constexpr size_t OUTPUT_SLACK = 4096;

void remove_files() {
    unlink(files.eeprom.c_str());
    unlink(files.flash.c_str());
    unlink(files.tagged.c_str());
    rmdir(files.dir.c_str());
}

void write_whole(const std::string& path, const uint8_t* data, size_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    check(fd >= 0);
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        check(n > 0);
        data += n;
        size -= static_cast<size_t>(n);
    }
    close(fd);
}

void replace_all(std::string& text, const std::string& token, const std::string& by) {
    for (size_t at = text.find(token); at != std::string::npos;
         at = text.find(token, at + by.size()))
        text.replace(at, token.size(), by);
}

std::string expand(std::string arg) {
    replace_all(arg, "@E", files.eeprom);
    replace_all(arg, "@F", files.flash);
    replace_all(arg, "@T", files.tagged);
    return arg;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Printing start-up's messages and usage text would dominate the run.
    std::cout.rdbuf(&out);
    std::cerr.rdbuf(&out);
    opterr = 0;

    char dir[] = "/dev/shm/korvofw-fuzz-XXXXXX";
    char fallback[] = "/tmp/korvofw-fuzz-XXXXXX";
    const char* made = mkdtemp(dir);
    if (made == nullptr)
        made = mkdtemp(fallback);
    if (made == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    files.dir = made;
    files.eeprom = files.dir + "/eeprom.bin";
    files.flash = files.dir + "/flash.hex";
    files.tagged = files.dir + "/station-0A1-7-g0123456789abcdef0123456789abcdef01234567.hex";
    std::atexit(remove_files);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t* end = data + size;
    const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    const uint8_t* args_end = nul != nullptr ? nul : end;

    std::vector<std::string> args = {"korvofw"};
    if (args_end > data) {
        const uint8_t* line = data;
        for (;;) {
            const uint8_t* feed =
                static_cast<const uint8_t*>(std::memchr(line, '\n', args_end - line));
            const uint8_t* stop = feed != nullptr ? feed : args_end;
            if (args.size() <= MAX_ARGS)
                args.push_back(expand(std::string(line, stop)));
            if (feed == nullptr)
                break;
            line = feed + 1;
        }
    }

    const uint8_t* eeprom = end;
    size_t eeprom_size = 0;
    if (nul != nullptr && nul + 1 < end) {
        eeprom = nul + 2;
        eeprom_size = std::min<size_t>(nul[1], end - eeprom);
    }
    const uint8_t* flash = eeprom + eeprom_size;
    write_whole(files.eeprom, eeprom, eeprom_size);
    write_whole(files.flash, flash, end - flash);
    write_whole(files.tagged, flash, end - flash);

    size_t input = size;
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(&a[0]);
        input += a.size();
    }
    argv.push_back(nullptr);

    out.count = 0;
    RunConfig cfg;
    int status = startup(static_cast<int>(args.size()), argv.data(), cfg);
    check(out.count <= OUTPUT_PER_INPUT_BYTE * input + OUTPUT_SLACK);
    check(status == RUN_ON || status == -1);
    if (status != RUN_ON)
        return 0;

    check(cfg.hard_id_set <= 0x1FFF);
    check(cfg.soft_id_set <= 0xFF);
    check(cfg.rxaddr_set <= 0xFFFF);
    if (cfg.eeprom_file != nullptr && cfg.hard_id_set != 0)
        check(cfg.eeprom_bin.size() >= 32);
    if (cfg.flash_file != nullptr)
        check(cfg.eeprom_bin.size() >= 22);
    else
        check(cfg.flash_bin.empty());
    check(cfg.flash_bin.size() <= 0x10000);
    // Every text the configuration points at is still there.
    for (const char* text : {cfg.flash_file, cfg.eeprom_file, cfg.flash_ver_set, cfg.flash_tag_set})
        if (text != nullptr)
            check(std::strlen(text) < 1u << 20);
    return 0;
}
