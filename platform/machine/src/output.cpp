// What the machine reports: the kinds of outputs, who made a configuration cycle and a requirements
// list as the fields of an event.
#include <machine/output.hpp>

#include <cstddef>
#include <cstring>

namespace machine {

const char* outputKindName(Output::Kind kind)
{
    switch (kind) {
    case Output::Kind::Step: return "step";
    case Output::Kind::Firmware: return "firmware";
    case Output::Kind::Request: return "request";
    case Output::Kind::Trace: return "trace";
    case Output::Kind::Break: return "break";
    case Output::Kind::EventLog: return "event";
    case Output::Kind::Config: return "config";
    case Output::Kind::Read: return "read";
    case Output::Kind::BusNumbers: return "busnum";
    case Output::Kind::Conflict: return "conflict";
    case Output::Kind::Problem: return "problem";
    case Output::Kind::Note: return "note";
    case Output::Kind::Requirements: return "requirements";
    case Output::Kind::Reset: return "reset";
    case Output::Kind::Granted: return "granted";
    }
    return "?";
}

const char* actorKey(pci::Actor who, bool driverLoaded)
{
    switch (who) {
    case pci::Actor::Firmware: return "firmware";
    case pci::Actor::BusInterface: return driverLoaded ? "hotpflt-bus-interface" : "bus-interface";
    case pci::Actor::RootAccessors: return driverLoaded ? "hotpflt-root-accessors" : "root-accessors";
    case pci::Actor::PnpManager: return "pnp-manager";
    case pci::Actor::OtherDriver: return "other-driver";
    case pci::Actor::BusDriver: break;
    }
    return "bus-driver";
}

nlohmann::ordered_json requirementsJson(const std::vector<uint8_t>& bytes)
{
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    if (bytes.size() < offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List)) return out;
    IO_RESOURCE_REQUIREMENTS_LIST header;
    std::memcpy(&header, bytes.data(), offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List));
    size_t offset = offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List);
    for (ULONG a = 0; a < header.AlternativeLists; ++a) {
        if (offset + offsetof(IO_RESOURCE_LIST, Descriptors) > bytes.size()) break;
        IO_RESOURCE_LIST list;
        std::memcpy(&list, bytes.data() + offset, offsetof(IO_RESOURCE_LIST, Descriptors));
        for (ULONG i = 0; i < list.Count; ++i) {
            const size_t at = offset + offsetof(IO_RESOURCE_LIST, Descriptors) +
                              i * sizeof(IO_RESOURCE_DESCRIPTOR);
            if (at + sizeof(IO_RESOURCE_DESCRIPTOR) > bytes.size()) break;
            IO_RESOURCE_DESCRIPTOR d;
            std::memcpy(&d, bytes.data() + at, sizeof d);
            out.push_back({
                {"type", d.Type == CmResourceTypePort     ? "io"
                         : d.Type == CmResourceTypeMemory ? "memory"
                                                          : "other"},
                {"flags", d.Flags},
                {"length", d.u.Memory.Length},
                {"alignment", d.u.Memory.Alignment},
                {"minimum", static_cast<uint64_t>(d.u.Memory.MinimumAddress.QuadPart)},
                {"maximum", static_cast<uint64_t>(d.u.Memory.MaximumAddress.QuadPart)},
                {"option", d.Option},
                {"share", d.ShareDisposition},
                {"list", a},
            });
        }
        offset += offsetof(IO_RESOURCE_LIST, Descriptors) +
                  list.Count * sizeof(IO_RESOURCE_DESCRIPTOR);
    }
    return out;
}

}  // namespace machine
