// USB descriptors of the bench's bootloader as it appears on a real bus: an AVR of the part
// table in its DFU bootloader, full speed, 03eb:<the part's product ID>, one interface and no
// endpoints besides EP0. The two bootloader families present themselves differently (see
// Presentation); the part's own row gives the product ID and name.
#pragma once

#include "parts/parts.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim::usbredir {

constexpr std::uint8_t kConfigurationValue = 1;
constexpr std::uint8_t kDfuInterfaceNumber = 0;
constexpr std::uint16_t kBcdDevice = 0x0000;

// How the protocol-1 (megaAVR) and protocol-2 (XMEGA) bootloaders present themselves, beside
// what the model's protocol table (device/flip_device.h) gives: EP0's size and the buffer.
struct Presentation {
    std::uint8_t device_class;
    std::uint8_t interface_class;
    std::uint8_t interface_subclass;
    std::uint8_t interface_protocol;
    std::uint8_t control_packet_size; // EP0; a program command fills one packet
    std::uint16_t transfer_size;      // the most a program command carries
};

Presentation presentation(const parts::Part& part);

constexpr std::uint8_t kDescriptorDevice = 1;
constexpr std::uint8_t kDescriptorConfiguration = 2;
constexpr std::uint8_t kDescriptorString = 3;

struct [[gnu::packed]] DeviceDescriptor {
    std::uint8_t bLength;
    std::uint8_t bDescriptorType;
    std::uint16_t bcdUSB;
    std::uint8_t bDeviceClass;
    std::uint8_t bDeviceSubClass;
    std::uint8_t bDeviceProtocol;
    std::uint8_t bMaxPacketSize0;
    std::uint16_t idVendor;
    std::uint16_t idProduct;
    std::uint16_t bcdDevice;
    std::uint8_t iManufacturer;
    std::uint8_t iProduct;
    std::uint8_t iSerialNumber;
    std::uint8_t bNumConfigurations;
};
static_assert(sizeof(DeviceDescriptor) == 18);

struct [[gnu::packed]] ConfigurationDescriptor {
    std::uint8_t bLength;
    std::uint8_t bDescriptorType;
    std::uint16_t wTotalLength;
    std::uint8_t bNumInterfaces;
    std::uint8_t bConfigurationValue;
    std::uint8_t iConfiguration;
    std::uint8_t bmAttributes;
    std::uint8_t bMaxPower;
};
static_assert(sizeof(ConfigurationDescriptor) == 9);

struct [[gnu::packed]] InterfaceDescriptor {
    std::uint8_t bLength;
    std::uint8_t bDescriptorType;
    std::uint8_t bInterfaceNumber;
    std::uint8_t bAlternateSetting;
    std::uint8_t bNumEndpoints;
    std::uint8_t bInterfaceClass;
    std::uint8_t bInterfaceSubClass;
    std::uint8_t bInterfaceProtocol;
    std::uint8_t iInterface;
};
static_assert(sizeof(InterfaceDescriptor) == 9);

struct [[gnu::packed]] DfuFunctionalDescriptor {
    std::uint8_t bLength;
    std::uint8_t bDescriptorType;
    std::uint8_t bmAttributes;
    std::uint16_t wDetachTimeOut;
    std::uint16_t wTransferSize;
    std::uint16_t bcdDFUVersion;
};
static_assert(sizeof(DfuFunctionalDescriptor) == 9);

// The whole configuration as GET_DESCRIPTOR(configuration) returns it.
struct [[gnu::packed]] ConfigurationBlock {
    ConfigurationDescriptor configuration;
    InterfaceDescriptor interface;
    DfuFunctionalDescriptor dfu;
};
static_assert(sizeof(ConfigurationBlock) == 27);

DeviceDescriptor device_descriptor(const parts::Part& part);
ConfigurationBlock configuration_block(const parts::Part& part);

// The bytes of the part's descriptor `type`/`index`, or nothing when the device has no such
// descriptor (the request then stalls). `serial` is the serial number string.
std::optional<std::vector<std::uint8_t>> descriptor(const parts::Part& part, std::uint8_t type,
                                                    std::uint8_t index, const std::string& serial);

} // namespace sim::usbredir
