// The flash image built from Intel HEX, and one bootloader device: its DFU/FLIP transport,
// its EEPROM identity record and the programming pass.
#pragma once

#include "dfu_protocol.h"
#include "hexparse.h"
#include "hextext.h"
#include "identity_record.h"
#include "parts/parts.h"

#include <usb.h>

#include <chrono>
#include <cstdint>
#include <vector>

// Collects every block the parser closes into one flash image.
class AvrParser : public IntelHex {
  public:
    static constexpr unsigned char ERASED = 0xFF;

    // Address and length of every non-empty block, in the order the blocks were closed.
    std::vector<int32_t> flushBuffer;

    // Records the block and places its bytes in the image; -1 (with fault) when the block
    // gives an address a different value than an earlier block did.
    int flush() override;
    // Replaces dstBuf with the image: every block at (its address - the lowest block
    // address), gaps erased. Returns 0, or -1 with "Invalid hex" when there is no data.
    int copy(ByteBuffer& dstBuf) const;
    // The lowest address of the file's data: the image's first byte.
    int32_t base() const { return imageBase; }

  private:
    ByteBuffer image;
    std::vector<bool> written;
    bool conflicting = false;
    int32_t imageBase = 0;
};

// Results of KorvoDfu::try_device.
enum PassResult : int {
    PASS_OK = 0,
    PASS_STATUS_CLEAR_ERROR = -1,
    PASS_VERIFY_ERROR = -2,
    PASS_EEPROM_CLEAR_ERROR = -3,
    PASS_EEPROM_SET_ERROR = -4,
    PASS_EEPROM_WRITE_ERROR = -5,
    PASS_DEVICE_NOT_FOUND = -6,
    PASS_OPEN_ERROR = -7,
    PASS_EEPROM_READ_ERROR = -8,
    PASS_FLASH_SELECT_ERROR = -9,
    PASS_DEVICE_BUSY = -10, // another program holds the device's interface
    PASS_ERASE_ERROR = -11,
};

// EEPROM identity record layout.
namespace record {
constexpr int DUMP_COLUMNS = 16;
constexpr unsigned char BLANK = 0xFF;

// Sets the identity fields that were given (above 0); bookkeeping and merge share it.
void put_hard_id(ByteBuffer& buf, int hard_id_set);
void put_soft_id(ByteBuffer& buf, int soft_id_set);
void put_rxaddr(ByteBuffer& buf, int rxaddr_set);

// 80 blank bytes, or as many as the image when it is longer.
ByteBuffer prepare(const ByteBuffer& eeprom_bin);
void show(const ByteBuffer& buf);
void dump(const ByteBuffer& buf);
// Copies the image over the record, keeping the fields about to be set, and clears byte 22.
void merge(ByteBuffer& buf, const ByteBuffer& eeprom_bin, int hard_id_set, int soft_id_set,
           int rxaddr_set);
// Puts the given identity values in, announcing each.
void apply(ByteBuffer& buf, int hard_id_set, int soft_id_set, int rxaddr_set);
// Hard IDs count up one per device that got, or may have got, a record with one; 0 means
// none is handed out.
void advance_hard_id(int& hard_id_set);
} // namespace record

// The pass's phases as they start and end, for whoever watches the pass (the event stream);
// the device layer knows nothing of who that is.
struct PassPhase {
    const char* name;        // "erase", "flash.write", "flash.verify", "eeprom.read",
                             // "eeprom.write", "start"
    bool ended = false;      // false: it starts
    int result = 0;          // when ended: PASS_OK or the PassResult that stops the pass
    int64_t ms = 0;          // when ended: how long it took
    int64_t bytes_done = -1; // flash.write: bytes the device took; -1 for the others
    int64_t bytes_total = -1;
};
struct PassObserver {
    virtual ~PassObserver() = default;
    virtual void phase(const PassPhase& phase) = 0;
};

// One bootloader device on the bus.
struct KorvoDfu {
    static constexpr int MAX_LISTED_MISMATCHES = 100;
    static constexpr unsigned START_SETTLE_USEC = 300000;
    static constexpr int DECIMAL = 10;

    // The part the device is, and the protocol its bootloader speaks.
    const parts::Part* part;
    const FlipProtocol* protocol;
    // A chip erase before the flash is written; protocol 1 erases always, as its bootloader
    // refuses everything else until then.
    bool eraseChip = false;
    usb_dev_handle* handle;
    bool claimed = false; // the pass holds the DFU interface
    int32_t usb_error;
    int32_t dfuLastStatus;
    int32_t dfuLastState;
    // The device of the current pass, named in its messages.
    int pass_bus = 0;
    int pass_dev = 0;
    // What the pass did, for the device's record in the ledger: the identity record as read
    // and as sent (empty when it got no further), and the time the phases took.
    ByteBuffer recordRead;
    ByteBuffer recordWritten;
    int64_t flashMs = 0;
    int64_t eepromMs = 0;
    int64_t eraseMs = -1; // -1: the pass erased nothing
    // Told of every phase as it starts and ends; null: nobody watches.
    PassObserver* observer = nullptr;

    explicit KorvoDfu(const parts::Part& part = parts::default_part(), bool erase = false);

    bool isFatalError() const { return handle == nullptr; }

    // Every DFU request goes through here: REQUEST picks bRequest and bmRequestType.
    template <int REQUEST, typename T>
    int control_transfer(T* data, int length, int timeout_ms = DFU_TIMEOUT_MS);

    int getStatus();
    void clearStatus();
    // Selects the memory (FLASH or EEPROM) that later requests use, at page 0; negative when a
    // request failed.
    int selectOp(int memory_unit);
    // Selects the flash's 64 KiB page `page`; negative when the request failed.
    int selectPage(int page);
    // Writes buf at startAddr: the bytes sent for one segment, 0 for several, or the first
    // negative code. Flash pages beyond the selected one are selected on the way.
    int writeOp(uint32_t startAddr, ByteBuffer buf);
    // Fills buf from startAddr. Returns the number of bytes delivered, or a negative code
    // when a request failed; a single segment shrinks buf to what was delivered.
    int readOp(uint32_t startAddr, ByteBuffer& buf);
    // Erases the application flash; the status it left, or a negative code.
    int eraseOp();
    void startOp();

    // One programming pass over the device at bus_num/dev_num; 0 or a PassResult code.
    int try_device(int bus_num, int dev_num, const ByteBuffer& flash_bin,
                   const ByteBuffer& eeprom_bin, int& hard_id_set, int soft_id_set, int rxaddr_set,
                   bool write_ee);

  private:
    int selectedUnit = FLASH;
    int selectedPage = 0;

    int readSegment(uint32_t startAddr, ByteBuffer& buf);
    int writeSegment(uint32_t startAddr, const ByteBuffer& data);
    // Where FlipProtocol's per-memory commands are for the selected memory.
    int memory_index() const { return selectedUnit == EEPROM ? 1 : 0; }
    // Selects the flash page that holds address, unless it is selected already.
    int reach(uint32_t address);
    // Clears the device's status: PASS_OK, or failure after saying so.
    int clear_for(int failure);
    // The pass's erase, timed: PASS_OK or PASS_ERASE_ERROR.
    int erase_phase();
    // Compares the read-back with the image, and with the erase the rest with blank flash.
    size_t count_mismatches(const ByteBuffer& flash_bin, const ByteBuffer& flash_image) const;
    int pass_body(const ByteBuffer& flash_bin, const ByteBuffer& eeprom_bin, int& hard_id_set,
                  int soft_id_set, int rxaddr_set, bool write_ee);
    int flash_phase(const ByteBuffer& flash_bin);
    int eeprom_phase(const ByteBuffer& eeprom_bin, int& hard_id_set, int soft_id_set,
                     int rxaddr_set, bool write_ee);
    // Claims the DFU interface, so that no other program talks to the device during the
    // pass; PASS_OK or the result that stops the pass, after saying why.
    int claim();
    void close();
    static bool node_writable(const std::string& node);
    // "<what>: bus B, device D <outcome>", on standard error.
    void report(const char* what, const char* outcome) const;
    // Tells the observer, if any, that the phase starts; ended() returns result after telling
    // it the phase ended.
    void started(const char* name);
    int ended(const char* name, int result, std::chrono::steady_clock::time_point since,
              int64_t bytes_done = -1, int64_t bytes_total = -1);
    // Bytes the last writeOp's segments delivered to the device.
    int64_t bytesSent = 0;
};
