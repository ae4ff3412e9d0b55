#include "usbredir_descriptors.h"

#include "device/flip_device.h"

#include <cstring>

namespace sim::usbredir {
namespace {

constexpr std::uint16_t kUsb2 = 0x0200;
constexpr std::uint8_t kDescriptorInterface = 4;
constexpr std::uint8_t kDescriptorDfuFunctional = 0x21;
constexpr std::uint8_t kBusPowered = 0x80;
constexpr std::uint8_t kMaxPower100mA = 50; // units of 2 mA
constexpr std::uint8_t kCanDownload = 0x01;
constexpr std::uint8_t kCanUpload = 0x02;
constexpr std::uint16_t kDfuVersion = 0x0110;
constexpr std::uint16_t kDetachTimeoutMs = 0;
constexpr std::uint16_t kLanguageEnglishUs = 0x0409;
constexpr std::size_t kMaxStringCharacters = 126; // bLength is one byte

enum StringIndex : std::uint8_t { kLanguages = 0, kManufacturer, kProduct, kSerialNumber };

constexpr char kManufacturerText[] = "ATMEL";
constexpr char kProductText[] = "ATxmega32A4U DFU";

template <typename T> std::vector<std::uint8_t> bytes_of(const T& value) {
    std::vector<std::uint8_t> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

// String descriptors carry UTF-16LE; the bench's strings are plain ASCII.
std::vector<std::uint8_t> string_descriptor(const std::string& text) {
    const std::size_t count = std::min(text.size(), kMaxStringCharacters);
    std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(2 + 2 * count), kDescriptorString};
    for (std::size_t i = 0; i < count; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(text[i]));
        bytes.push_back(0);
    }
    return bytes;
}

} // namespace

DeviceDescriptor device_descriptor() {
    return DeviceDescriptor{sizeof(DeviceDescriptor),
                            kDescriptorDevice,
                            kUsb2,
                            0,
                            0,
                            0,
                            kControlPacketSize,
                            kAtmelVendorId,
                            kFlipProductId,
                            kBcdDevice,
                            kManufacturer,
                            kProduct,
                            kSerialNumber,
                            1};
}

ConfigurationBlock configuration_block() {
    ConfigurationBlock block{};
    block.configuration = ConfigurationDescriptor{sizeof(ConfigurationDescriptor),
                                                  kDescriptorConfiguration,
                                                  sizeof(ConfigurationBlock),
                                                  1,
                                                  kConfigurationValue,
                                                  0,
                                                  kBusPowered,
                                                  kMaxPower100mA};
    block.interface = InterfaceDescriptor{
        sizeof(InterfaceDescriptor), kDescriptorInterface,  kDfuInterfaceNumber,   0, 0,
        kDfuInterfaceClass,          kDfuInterfaceSubclass, kDfuInterfaceProtocol, 0};
    block.dfu = DfuFunctionalDescriptor{sizeof(DfuFunctionalDescriptor),
                                        kDescriptorDfuFunctional,
                                        kCanDownload | kCanUpload,
                                        kDetachTimeoutMs,
                                        kDfuTransferSize,
                                        kDfuVersion};
    return block;
}

std::optional<std::vector<std::uint8_t>> descriptor(std::uint8_t type, std::uint8_t index,
                                                    const std::string& serial) {
    if (type == kDescriptorDevice && index == 0)
        return bytes_of(device_descriptor());
    if (type == kDescriptorConfiguration && index == 0)
        return bytes_of(configuration_block());
    if (type != kDescriptorString)
        return std::nullopt;
    switch (index) {
    case kLanguages:
        return std::vector<std::uint8_t>{4, kDescriptorString, kLanguageEnglishUs & 0xFF,
                                         kLanguageEnglishUs >> 8};
    case kManufacturer:
        return string_descriptor(kManufacturerText);
    case kProduct:
        return string_descriptor(kProductText);
    case kSerialNumber:
        return string_descriptor(serial);
    default:
        return std::nullopt;
    }
}

} // namespace sim::usbredir
