// A minimal libusb 0.1 client for the bench's tests: it finds and drives
// simulated devices only through the stand-in C functions, as the program does.
#pragma once

#include "bench.h"

#include <gtest/gtest.h>
#include <usb.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sim_test {

using Bytes = std::vector<std::uint8_t>;

constexpr int kTimeoutMs = 2000;
constexpr int kEnodev = -19;
constexpr int kEpipe = -32;
constexpr int kEtimedout = -110;
constexpr int kEinval = -22;

// The 58 ignored header bytes after the 6 command bytes, and the 16 trailer bytes.
inline Bytes program_block(const Bytes& command, const Bytes& data) {
    Bytes block = command;
    block.resize(64, 0x00);
    block.insert(block.end(), data.begin(), data.end());
    block.resize(block.size() + 16, 0x00);
    return block;
}

class SimClient : public ::testing::Test {
  protected:
    void SetUp() override { bench = &sim::Bench::install(); }
    void TearDown() override { sim::Bench::uninstall(); }

    // Rescans and returns the node of bus/devnum, or null.
    static struct usb_device* find_node(const char* dirname, int devnum) {
        usb_find_busses();
        usb_find_devices();
        for (usb_bus* bus = usb_get_busses(); bus; bus = bus->next) {
            for (struct usb_device* dev = bus->devices; dev; dev = dev->next) {
                if (std::string(bus->dirname) == dirname && dev->devnum == devnum)
                    return dev;
            }
        }
        return nullptr;
    }

    // Plugs a bootloader at 001/005 and opens it.
    usb_dev_handle* plug_and_open() {
        device = &bench->plug(1, 5);
        struct usb_device* node = find_node("001", 5);
        EXPECT_NE(node, nullptr);
        usb_dev_handle* handle = node ? usb_open(node) : nullptr;
        EXPECT_NE(handle, nullptr);
        return handle;
    }

    static int dnload(usb_dev_handle* h, Bytes payload) {
        return usb_control_msg(h, 0x21, 1, 0, 0, reinterpret_cast<char*>(payload.data()),
                               static_cast<int>(payload.size()), kTimeoutMs);
    }

    // Returns usb_control_msg's result; `got` holds the bytes delivered.
    static int upload(usb_dev_handle* h, int length, Bytes& got) {
        got.assign(static_cast<std::size_t>(length), 0x00);
        const int rc = usb_control_msg(h, 0xA1, 2, 0, 0, reinterpret_cast<char*>(got.data()),
                                       length, kTimeoutMs);
        got.resize(rc > 0 ? static_cast<std::size_t>(rc) : 0);
        return rc;
    }

    // The GETSTATUS reply, or an empty vector when the request failed.
    static Bytes status(usb_dev_handle* h) {
        Bytes reply(6, 0xCC);
        const int rc = usb_control_msg(h, 0xA1, 3, 0, 0, reinterpret_cast<char*>(reply.data()),
                                       static_cast<int>(reply.size()), kTimeoutMs);
        reply.resize(rc > 0 ? static_cast<std::size_t>(rc) : 0);
        return reply;
    }

    static int clear_status(usb_dev_handle* h) {
        return usb_control_msg(h, 0x21, 4, 0, 0, nullptr, 0, kTimeoutMs);
    }

    sim::Bench* bench = nullptr;
    sim::SimDevice* device = nullptr;
};

// GETSTATUS replies: status, 3-byte poll time-out, state, string index.
inline const Bytes kStatusIdle = {0x00, 0x00, 0x00, 0x00, 0x02, 0x00};
inline const Bytes kStatusDnloadIdle = {0x00, 0x00, 0x00, 0x00, 0x05, 0x00};
inline const Bytes kStatusUploadIdle = {0x00, 0x00, 0x00, 0x00, 0x09, 0x00};
inline const Bytes kStatusErrUnknown = {0x0E, 0x00, 0x00, 0x00, 0x0A, 0x00};
inline const Bytes kStatusErrAddress = {0x08, 0x00, 0x00, 0x00, 0x0A, 0x00};
inline const Bytes kStatusErrStalled = {0x0F, 0x00, 0x00, 0x00, 0x0A, 0x00};
inline const Bytes kStatusErrTarget = {0x01, 0x00, 0x00, 0x00, 0x0A, 0x00};

inline const Bytes kSelectFlash = {0x06, 0x03, 0x00, 0x00, 0x00, 0x00};
inline const Bytes kSelectEeprom = {0x06, 0x03, 0x00, 0x01, 0x00, 0x00};

} // namespace sim_test
