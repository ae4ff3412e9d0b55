#include "fault.h"

#include <charconv>

namespace sim {
namespace {

struct KindName {
    FaultKind kind;
    const char* name;
};

constexpr KindName kKindNames[] = {
    {FaultKind::Unplug, "unplug"},       {FaultKind::Stall, "stall"},
    {FaultKind::Timeout, "timeout"},     {FaultKind::Short, "short"},
    {FaultKind::StatusLen, "statuslen"}, {FaultKind::BadStatus, "badstatus"},
    {FaultKind::Stuck, "stuck"},         {FaultKind::NoErase, "noerase"},
    {FaultKind::NoOpen, "noopen"},       {FaultKind::Busy, "busy"},
    {FaultKind::Gone, "gone"},           {FaultKind::NoAttr, "noattr"},
    {FaultKind::SigTerm, "sigterm"},     {FaultKind::SigInt, "sigint"},
};

constexpr char kIndexSeparator = '@';

std::optional<FaultKind> kind_from_name(std::string_view name) {
    for (const auto& entry : kKindNames) {
        if (name == entry.name)
            return entry.kind;
    }
    return std::nullopt;
}

std::optional<std::size_t> parse_index(std::string_view text) {
    std::size_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end)
        return std::nullopt;
    return value;
}

} // namespace

bool takes_request_index(FaultKind kind) {
    switch (kind) {
    case FaultKind::NoErase:
    case FaultKind::NoOpen:
    case FaultKind::Busy:
    case FaultKind::Gone:
        return false;
    default:
        return true;
    }
}

const char* fault_name(FaultKind kind) {
    for (const auto& entry : kKindNames) {
        if (entry.kind == kind)
            return entry.name;
    }
    return "?";
}

std::optional<Fault> parse_fault(std::string_view text) {
    const auto separator = text.find(kIndexSeparator);
    const auto kind = kind_from_name(text.substr(0, separator));
    if (!kind)
        return std::nullopt;
    if (separator == std::string_view::npos)
        return Fault{*kind, std::nullopt};
    if (!takes_request_index(*kind))
        return std::nullopt;
    const auto index = parse_index(text.substr(separator + 1));
    if (!index)
        return std::nullopt;
    return Fault{*kind, index};
}

std::string to_string(const Fault& fault) {
    std::string text = fault_name(fault.kind);
    if (fault.at)
        text += kIndexSeparator + std::to_string(*fault.at);
    return text;
}

} // namespace sim
