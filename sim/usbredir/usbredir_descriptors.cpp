#include "usbredir_descriptors.h"

#include "device/flip_device.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iterator>
#include <stdexcept>

namespace sim::usbredir {
namespace {

constexpr std::uint16_t kUsb2 = 0x0200;
constexpr std::uint8_t kNoDeviceClass = 0x00; // each interface says what it is
constexpr std::uint8_t kApplicationSpecific = 0xFE;
constexpr std::uint8_t kDfuSubclass = 0x01;
constexpr std::uint8_t kDfuModeProtocol = 0x02;
constexpr std::uint8_t kVendorSpecific = 0xFF;
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
constexpr char kProductSuffix[] = " DFU";

// Both families report no device class. avrdude's flip1 programmer expects device class 254,
// subclass 1 and warns otherwise; the model follows the megaAVR parts, which report 0, and
// avrdude goes on after the warning. Their interface keeps the DFU class, which the kernel and
// both clients accept. The XMEGA bootloader's interface is vendor specific (0xFF, 0, 0), which
// is what avrdude's flip2 programmer checks for.
struct Looks {
    int protocol;
    std::uint8_t device_class;
    std::uint8_t interface_class;
    std::uint8_t interface_subclass;
    std::uint8_t interface_protocol;
};
constexpr Looks kLooks[] = {
    {parts::PROTOCOL_1, kNoDeviceClass, kApplicationSpecific, kDfuSubclass, kDfuModeProtocol},
    {parts::PROTOCOL_2, kNoDeviceClass, kVendorSpecific, 0, 0},
};

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

// "ATmega32U4 DFU" for atmega32u4: the table's name as the parts spell it, "AT", the family in
// lower case, then the rest from the first digit on in upper case.
std::string product_text(const parts::Part& part) {
    std::string text = part.name;
    bool from_digit = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        from_digit = from_digit || std::isdigit(static_cast<unsigned char>(text[i]));
        if (i < 2 || from_digit)
            text[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
    }
    return text + kProductSuffix;
}

} // namespace

Presentation presentation(const parts::Part& part) {
    const auto looks = std::find_if(std::begin(kLooks), std::end(kLooks), [&](const Looks& row) {
        return row.protocol == part.protocol;
    });
    const auto sizes =
        std::find_if(std::begin(kFlipProtocols), std::end(kFlipProtocols),
                     [&](const FlipProtocol& row) { return row.protocol == part.protocol; });
    if (looks == std::end(kLooks) || sizes == std::end(kFlipProtocols))
        throw std::logic_error(std::string("usbredir: no descriptors for the protocol of ") +
                               part.name);
    return Presentation{looks->device_class,
                        looks->interface_class,
                        looks->interface_subclass,
                        looks->interface_protocol,
                        static_cast<std::uint8_t>(sizes->control_packet_size),
                        static_cast<std::uint16_t>(sizes->max_program_data)};
}

DeviceDescriptor device_descriptor(const parts::Part& part) {
    const Presentation looks = presentation(part);
    return DeviceDescriptor{sizeof(DeviceDescriptor),
                            kDescriptorDevice,
                            kUsb2,
                            looks.device_class,
                            0,
                            0,
                            looks.control_packet_size,
                            parts::ATMEL_VENDOR,
                            part.product,
                            kBcdDevice,
                            kManufacturer,
                            kProduct,
                            kSerialNumber,
                            1};
}

ConfigurationBlock configuration_block(const parts::Part& part) {
    const Presentation looks = presentation(part);
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
        sizeof(InterfaceDescriptor), kDescriptorInterface,     kDfuInterfaceNumber,      0, 0,
        looks.interface_class,       looks.interface_subclass, looks.interface_protocol, 0};
    block.dfu = DfuFunctionalDescriptor{sizeof(DfuFunctionalDescriptor),
                                        kDescriptorDfuFunctional,
                                        kCanDownload | kCanUpload,
                                        kDetachTimeoutMs,
                                        looks.transfer_size,
                                        kDfuVersion};
    return block;
}

std::optional<std::vector<std::uint8_t>> descriptor(const parts::Part& part, std::uint8_t type,
                                                    std::uint8_t index, const std::string& serial) {
    if (type == kDescriptorDevice && index == 0)
        return bytes_of(device_descriptor(part));
    if (type == kDescriptorConfiguration && index == 0)
        return bytes_of(configuration_block(part));
    if (type != kDescriptorString)
        return std::nullopt;
    switch (index) {
    case kLanguages:
        return std::vector<std::uint8_t>{4, kDescriptorString, kLanguageEnglishUs & 0xFF,
                                         kLanguageEnglishUs >> 8};
    case kManufacturer:
        return string_descriptor(kManufacturerText);
    case kProduct:
        return string_descriptor(product_text(part));
    case kSerialNumber:
        return string_descriptor(serial);
    default:
        return std::nullopt;
    }
}

} // namespace sim::usbredir
