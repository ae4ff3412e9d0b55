// The bootloader model, driven through the libusb stand-ins with hand-written FLIP bytes.
#include "sim_client.h"

namespace sim_test {
namespace {

using DeviceTest = SimClient;

TEST_F(DeviceTest, FlashProgramErasesTouchedPagesAndReadsBack) {
    usb_dev_handle* h = plug_and_open();
    device->flip()->load(sim::MemoryUnit::Flash, 0, Bytes(0x400, 0x00));

    ASSERT_EQ(dnload(h, kSelectFlash), 6);
    // 0x0110..0x0113 lies in the page 0x0100..0x01FF.
    ASSERT_EQ(
        dnload(h, program_block({0x01, 0x00, 0x01, 0x10, 0x01, 0x13}, {0xAA, 0xBB, 0xCC, 0xDD})),
        64 + 4 + 16);
    EXPECT_EQ(status(h), kStatusDnloadIdle);

    // 0x00FE..0x0201: two bytes either side of the touched page.
    ASSERT_EQ(dnload(h, {0x03, 0x00, 0x00, 0xFE, 0x02, 0x01}), 6);
    Bytes got;
    ASSERT_EQ(upload(h, 260, got), 260);
    Bytes expected = {0x00, 0x00};
    expected.insert(expected.end(), 0x10, 0xFF);
    expected.insert(expected.end(), {0xAA, 0xBB, 0xCC, 0xDD});
    expected.insert(expected.end(), 0xEC, 0xFF);
    expected.insert(expected.end(), {0x00, 0x00});
    EXPECT_EQ(got, expected);
    EXPECT_EQ(status(h), kStatusUploadIdle);

    // A write across a page boundary erases both pages.
    ASSERT_EQ(dnload(h, program_block({0x01, 0x00, 0x02, 0xFF, 0x03, 0x00}, {0x11, 0x22})), 82);
    const Bytes& flash = device->flip()->flash();
    EXPECT_EQ(flash[0x01FF], 0xFF);
    EXPECT_EQ(flash[0x0200], 0xFF);
    EXPECT_EQ(flash[0x02FF], 0x11);
    EXPECT_EQ(flash[0x0300], 0x22);
    EXPECT_EQ(flash[0x03FF], 0xFF);
    EXPECT_EQ(flash[0x00FF], 0x00);
    usb_close(h);
}

TEST_F(DeviceTest, EepromWriteChangesOnlyTheWrittenBytes) {
    usb_dev_handle* h = plug_and_open();
    device->flip()->load(sim::MemoryUnit::Eeprom, 0, Bytes(1024, 0x11));

    ASSERT_EQ(dnload(h, kSelectEeprom), 6);
    ASSERT_EQ(dnload(h, program_block({0x01, 0x00, 0x00, 0x10, 0x00, 0x11}, {0x5A, 0xA5})), 82);
    ASSERT_EQ(dnload(h, {0x03, 0x00, 0x00, 0x0F, 0x00, 0x12}), 6);
    Bytes got;
    ASSERT_EQ(upload(h, 4, got), 4);
    EXPECT_EQ(got, Bytes({0x11, 0x5A, 0xA5, 0x11}));
    EXPECT_EQ(device->flip()->flash()[0x10], 0xFF);
    usb_close(h);
}

TEST_F(DeviceTest, LengthMismatchStallsUntilClearStatus) {
    usb_dev_handle* h = plug_and_open();
    ASSERT_EQ(dnload(h, kSelectFlash), 6);

    // The header claims 0x0000..0x0003 but three data bytes follow.
    EXPECT_EQ(dnload(h, program_block({0x01, 0x00, 0x00, 0x00, 0x00, 0x03}, {1, 2, 3})), kEpipe);
    EXPECT_EQ(status(h), kStatusErrUnknown);
    EXPECT_EQ(dnload(h, kSelectFlash), kEpipe);
    Bytes got;
    EXPECT_EQ(upload(h, 4, got), kEpipe);
    EXPECT_EQ(status(h), kStatusErrUnknown);

    EXPECT_EQ(clear_status(h), 0);
    EXPECT_EQ(status(h), kStatusIdle);
    EXPECT_EQ(dnload(h, kSelectFlash), 6);

    // One byte claimed, two sent.
    EXPECT_EQ(dnload(h, program_block({0x01, 0x00, 0x00, 0x00, 0x00, 0x00}, {1, 2})), kEpipe);
    EXPECT_EQ(status(h), kStatusErrUnknown);
    EXPECT_EQ(device->flip()->flash()[0], 0xFF);
    usb_close(h);
}

TEST_F(DeviceTest, AddressesOutsideTheMemoryAreRefused) {
    usb_dev_handle* h = plug_and_open();

    ASSERT_EQ(dnload(h, kSelectEeprom), 6);
    EXPECT_EQ(dnload(h, {0x03, 0x00, 0x03, 0xFF, 0x04, 0x00}), kEpipe);
    EXPECT_EQ(status(h), kStatusErrAddress);
    ASSERT_EQ(clear_status(h), 0);

    ASSERT_EQ(dnload(h, kSelectFlash), 6);
    EXPECT_EQ(dnload(h, program_block({0x01, 0x00, 0x7F, 0xFF, 0x80, 0x00}, {1, 2})), kEpipe);
    EXPECT_EQ(status(h), kStatusErrAddress);
    ASSERT_EQ(clear_status(h), 0);
    EXPECT_EQ(dnload(h, program_block({0x01, 0x00, 0x7F, 0xFF, 0x7F, 0xFF}, {0x42})), 81);
    EXPECT_EQ(device->flip()->flash()[0x7FFF], 0x42);

    // Page 1 starts at 64 KiB, beyond the flash.
    ASSERT_EQ(dnload(h, {0x06, 0x03, 0x01, 0x01, 0x00, 0x00}), 6);
    EXPECT_EQ(dnload(h, {0x03, 0x00, 0x00, 0x00, 0x00, 0x00}), kEpipe);
    EXPECT_EQ(status(h), kStatusErrAddress);
    ASSERT_EQ(clear_status(h), 0);

    // Memory unit 2 does not exist on this device.
    EXPECT_EQ(dnload(h, {0x06, 0x03, 0x00, 0x02, 0x00, 0x00}), kEpipe);
    EXPECT_EQ(status(h), kStatusErrUnknown);
    usb_close(h);
}

TEST_F(DeviceTest, UploadNeedsAQueuedRead) {
    usb_dev_handle* h = plug_and_open();
    Bytes got;
    EXPECT_EQ(upload(h, 16, got), kEpipe);
    EXPECT_EQ(status(h), kStatusErrStalled);
    ASSERT_EQ(clear_status(h), 0);

    // Four bytes queued, 64 asked: the short upload ends the transfer.
    ASSERT_EQ(dnload(h, kSelectFlash), 6);
    ASSERT_EQ(dnload(h, {0x03, 0x00, 0x00, 0x00, 0x00, 0x03}), 6);
    EXPECT_EQ(upload(h, 64, got), 4);
    EXPECT_EQ(got, Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(status(h), kStatusIdle);
    EXPECT_EQ(upload(h, 64, got), kEpipe);
    usb_close(h);
}

TEST_F(DeviceTest, UnknownRequestsAndCommandsStall) {
    usb_dev_handle* h = plug_and_open();
    Bytes reply(1);
    // DFU_GETSTATE is not part of this bootloader's repertoire.
    EXPECT_EQ(
        usb_control_msg(h, 0xA1, 5, 0, 0, reinterpret_cast<char*>(reply.data()), 1, kTimeoutMs),
        kEpipe);
    EXPECT_EQ(status(h), kStatusErrUnknown);
    ASSERT_EQ(clear_status(h), 0);

    Bytes six(6);
    EXPECT_EQ(usb_control_msg(h, 0xA1, 3, 0, 1, reinterpret_cast<char*>(six.data()), 6, kTimeoutMs),
              kEpipe);
    ASSERT_EQ(clear_status(h), 0);

    EXPECT_EQ(dnload(h, {0x05, 0x00, 0x00, 0x00, 0x00, 0x00}), kEpipe);
    EXPECT_EQ(status(h), kStatusErrUnknown);
    ASSERT_EQ(clear_status(h), 0);
    EXPECT_EQ(dnload(h, {0x06, 0x03}), kEpipe);
    usb_close(h);
}

TEST_F(DeviceTest, StartLeavesTheBusOnTheFollowingDownload) {
    usb_dev_handle* h = plug_and_open();
    EXPECT_EQ(dnload(h, {}), 0);
    EXPECT_EQ(status(h), kStatusIdle);

    ASSERT_EQ(dnload(h, {0x04, 0x03, 0x01, 0x00, 0x00}), 5);
    EXPECT_EQ(status(h), kStatusDnloadIdle);
    EXPECT_TRUE(device->on_bus());

    EXPECT_EQ(dnload(h, {}), 0);
    EXPECT_FALSE(device->on_bus());
    Bytes reply(6);
    EXPECT_EQ(
        usb_control_msg(h, 0xA1, 3, 0, 0, reinterpret_cast<char*>(reply.data()), 6, kTimeoutMs),
        kEnodev);
    EXPECT_EQ(find_node("001", 5), nullptr);
    EXPECT_EQ(usb_close(h), 0);

    // Start with reset, carried out by the repeated command.
    sim::SimDevice& second = bench->plug(1, 6);
    usb_dev_handle* h2 = usb_open(find_node("001", 6));
    ASSERT_NE(h2, nullptr);
    EXPECT_EQ(dnload(h2, {0x04, 0x03, 0x00, 0x00, 0x00, 0x00}), 6);
    EXPECT_TRUE(second.on_bus());
    EXPECT_EQ(dnload(h2, {0x04, 0x03, 0x00, 0x00, 0x00, 0x00}), 6);
    EXPECT_FALSE(second.on_bus());
    EXPECT_EQ(dnload(h2, kSelectFlash), kEnodev);
    usb_close(h2);
}

// The commands below are the ones dfu-programmer sends to this bootloader.

TEST_F(DeviceTest, AbortReturnsToIdleAndDropsTheQueuedRead) {
    usb_dev_handle* h = plug_and_open();
    ASSERT_EQ(dnload(h, kSelectFlash), 6);
    ASSERT_EQ(dnload(h, {0x03, 0x00, 0x00, 0x00, 0x00, 0x0F}), 6);
    EXPECT_EQ(usb_control_msg(h, 0x21, 6, 0, 0, nullptr, 0, kTimeoutMs), 0);
    EXPECT_EQ(status(h), kStatusIdle);
    Bytes got;
    EXPECT_EQ(upload(h, 16, got), kEpipe);
    EXPECT_EQ(status(h), kStatusErrStalled);

    // dfuERROR is left only through DFU_CLRSTATUS.
    EXPECT_EQ(usb_control_msg(h, 0x21, 6, 0, 0, nullptr, 0, kTimeoutMs), kEpipe);
    EXPECT_EQ(status(h), kStatusErrStalled);
    ASSERT_EQ(clear_status(h), 0);
    EXPECT_EQ(status(h), kStatusIdle);
    usb_close(h);
}

TEST_F(DeviceTest, ChipEraseEmptiesTheFlashAndKeepsTheEeprom) {
    usb_dev_handle* h = plug_and_open();
    device->flip()->load(sim::MemoryUnit::Flash, 0, Bytes(sim::kFlashSize, 0x00));
    device->flip()->load(sim::MemoryUnit::Eeprom, 0, Bytes(sim::kEepromSize, 0x42));
    EXPECT_EQ(dnload(h, {0x04, 0x00, 0xFF}), 3);
    EXPECT_EQ(status(h), kStatusDnloadIdle);
    EXPECT_EQ(device->flip()->flash(), Bytes(sim::kFlashSize, 0xFF));
    EXPECT_EQ(device->flip()->eeprom(), Bytes(sim::kEepromSize, 0x42));

    // Two bytes are no command at all.
    EXPECT_EQ(dnload(h, {0x04, 0x00}), kEpipe);
    EXPECT_EQ(status(h), kStatusErrUnknown);
    usb_close(h);
}

TEST_F(DeviceTest, ChipEraseDoesNotTakeOnAStuckFlash) {
    usb_dev_handle* h = plug_and_open();
    device->flip()->load(sim::MemoryUnit::Flash, 0, Bytes(16, 0x00));
    device->add_fault(sim::Fault{sim::FaultKind::Stuck, std::nullopt});
    EXPECT_EQ(dnload(h, {0x04, 0x00, 0xFF}), 3);
    EXPECT_EQ(device->flip()->flash()[0], 0x00);
    usb_close(h);
}

TEST_F(DeviceTest, BlankCheckReportsTheFirstProgrammedAddress) {
    usb_dev_handle* h = plug_and_open();
    ASSERT_EQ(dnload(h, {0x06, 0x03, 0x00, 0x00}), 4);
    ASSERT_EQ(dnload(h, {0x03, 0x01, 0x00, 0x00, 0x6F, 0xFF}), 6);
    EXPECT_EQ(status(h), kStatusDnloadIdle);

    device->flip()->load(sim::MemoryUnit::Flash, 0x1234, {0x7E});
    ASSERT_EQ(dnload(h, {0x03, 0x01, 0x00, 0x00, 0x6F, 0xFF}), 6);
    EXPECT_EQ(status(h), Bytes({0x05, 0x00, 0x00, 0x00, 0x05, 0x00}));
    Bytes got;
    EXPECT_EQ(upload(h, 2, got), 2);
    EXPECT_EQ(got, Bytes({0x12, 0x34}));

    // A range after the programmed byte is blank.
    ASSERT_EQ(dnload(h, {0x03, 0x01, 0x12, 0x35, 0x6F, 0xFF}), 6);
    EXPECT_EQ(status(h), kStatusDnloadIdle);
    EXPECT_EQ(upload(h, 2, got), kEpipe);
    usb_close(h);
}

TEST_F(DeviceTest, FourAndFiveByteSelectCommands) {
    usb_dev_handle* h = plug_and_open();
    device->flip()->load(sim::MemoryUnit::Eeprom, 0, {0xE1, 0xE2});
    ASSERT_EQ(dnload(h, {0x06, 0x03, 0x00, 0x01}), 4);
    ASSERT_EQ(dnload(h, {0x06, 0x03, 0x01, 0x00, 0x00}), 5);
    EXPECT_EQ(device->flip()->selected_unit(), sim::MemoryUnit::Eeprom);
    ASSERT_EQ(dnload(h, {0x03, 0x00, 0x00, 0x00, 0x00, 0x01}), 6);
    Bytes got;
    EXPECT_EQ(upload(h, 2, got), 2);
    EXPECT_EQ(got, Bytes({0xE1, 0xE2}));

    EXPECT_EQ(dnload(h, {0x06, 0x03, 0x00}), kEpipe);
    usb_close(h);
}

TEST_F(DeviceTest, ThreeByteStartLeavesTheBusOnTheFollowingDownload) {
    usb_dev_handle* h = plug_and_open();
    ASSERT_EQ(dnload(h, {0x04, 0x03, 0x01}), 3);
    EXPECT_TRUE(device->on_bus());
    EXPECT_EQ(dnload(h, {}), 0);
    EXPECT_FALSE(device->on_bus());
    usb_close(h);
}

} // namespace
} // namespace sim_test
