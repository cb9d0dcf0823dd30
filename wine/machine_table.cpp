// Writes a machine and the flows of a scenario as a C table for the test bus driver that stands
// for the PCI bus driver under Wine: every function's configuration bytes as firmware left them,
// its power-on bytes and its write and write-one-to-clear masks (read off the hardware model by
// writing each byte), where it sits, and each scenario event as a step. The test bus driver then
// answers configuration cycles exactly as the hardware model does, without linking it.
//
//   hotp_wine_machine MACHINE.toml SCENARIO.toml OUT.c
#include <formats/machine_file.hpp>
#include <formats/scenario_file.hpp>
#include <machine/description.hpp>
#include <machine/firmware.hpp>
#include <machine/location.hpp>
#include <machine/scenario.hpp>
#include <pci/hardware.hpp>

#include <array>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::array<uint8_t, 256>;

struct Entry {
    int parent = -1;  // the bridge whose secondary bus holds it; -1 for the root bus
    unsigned device = 0, function = 0;
    int card = -1;    // the insertion that brings it, -1 when present at boot
    unsigned pm = 0;  // offset of the power-management capability, 0 for none
    Bytes config{}, powerOn{}, writable{}, clearable{};
};

Bytes bytesOf(const pci::Function& f)
{
    Bytes b{};
    for (unsigned o = 0; o < 256; ++o) b[o] = f.byte(o);
    return b;
}

// Each byte's writable and write-one-to-clear bits: a byte at 0 written with ones shows what can
// be set; a byte at ones written with ones shows what clears. The byte is put back afterwards.
void probeMasks(pci::Function& f, Entry& e)
{
    for (unsigned o = 0; o < 256; ++o) {
        const uint8_t saved = f.byte(o);
        f.poke(o, 1, 0x00);
        f.write(o, 1, 0xFF);
        e.writable[o] = f.byte(o);
        f.poke(o, 1, 0xFF);
        f.write(o, 1, 0xFF);
        e.clearable[o] = static_cast<uint8_t>(~f.byte(o));
        f.poke(o, 1, saved);
    }
}

// Lists the functions of a bus, depth first; `spare` is the same bus built anew, in its
// power-on state, whose functions are probed for their masks.
void walk(const pci::Bus& bus, pci::Bus& spare, int parent, int card, std::vector<Entry>& out)
{
    for (unsigned d = 0; d < 32; ++d) {
        for (unsigned fn = 0; fn < 8; ++fn) {
            const pci::Function* f = bus.function(d, fn);
            if (f == nullptr) continue;
            pci::Function& p = *spare.function(d, fn);
            Entry e;
            e.parent = parent;
            e.device = d;
            e.function = fn;
            e.card = card;
            e.config = bytesOf(*f);
            e.powerOn = bytesOf(p);
            e.pm = pci::findPowerCapability(e.powerOn);
            probeMasks(p, e);
            out.push_back(e);
            const int self = static_cast<int>(out.size()) - 1;
            if (f->secondary() != nullptr) walk(*f->secondary(), *p.secondary(), self, card, out);
        }
    }
}

// The table entry a resolved location ends at, walking from the root bus through the entries
// present at this point of the scenario.
int entryAt(const std::vector<Entry>& entries, const std::vector<bool>& present,
            const std::vector<machine::Step>& path)
{
    int parent = -1;
    for (const machine::Step& step : path) {
        int found = -1;
        for (size_t i = 0; i < entries.size(); ++i) {
            if (present[i] && entries[i].parent == parent && entries[i].device == step.device &&
                entries[i].function == step.functionOrZero()) {
                found = static_cast<int>(i);
            }
        }
        if (found < 0) return -1;
        parent = found;
    }
    return parent;
}

void bytesLine(std::ostream& out, const Bytes& b)
{
    out << "{";
    for (unsigned o = 0; o < 256; ++o) {
        char hex[8];
        std::snprintf(hex, sizeof(hex), "%s0x%02x", o == 0 ? "" : ",", b[o]);
        out << hex;
    }
    out << "}";
}

int fail(const std::string& message)
{
    std::cerr << "hotp_wine_machine: " << message << "\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) return fail("usage: hotp_wine_machine MACHINE.toml SCENARIO.toml OUT.c");
    auto machineFile = formats::loadMachine(argv[1]);
    if (!machineFile.ok()) return fail(machineFile.errors().front());
    auto scenarioFile = formats::loadScenario(argv[2]);
    if (!scenarioFile.ok()) return fail(scenarioFile.errors().front());
    const machine::MachineDesc& desc = machineFile.value();
    const machine::ScenarioDesc& scenario = scenarioFile.value();

    pci::Hierarchy booted, spare;
    machine::populate(booted, desc);
    machine::populate(spare, desc);
    machine::runFirmware(booted, desc.windows, desc.asFound);
    std::vector<Entry> entries;
    walk(booted.root(), spare.root(), -1, -1, entries);
    std::vector<bool> present(entries.size(), true);

    std::ostringstream steps;
    std::map<int, int> slotCard;  // slot entry index * 32 + device -> insertion number
    int insertions = 0;
    bool vetoArmed = false;
    for (const machine::Event& event : scenario.events) {
        std::string error;
        const bool isInsert = event.kind == machine::EventKind::Insert;
        const bool atSlot = isInsert || event.kind == machine::EventKind::SurpriseRemove ||
                            event.kind == machine::EventKind::Remove;
        const machine::Location& where = atSlot ? event.slot : event.device;
        std::optional<std::vector<machine::Step>> path;
        int bridge = -1;
        unsigned device = 0;
        if (atSlot || event.kind == machine::EventKind::Power) {
            path = machine::resolveLocation(desc, where, error);
            if (!path || path->empty()) return fail(where.text + ": " + error);
            std::vector<machine::Step> bridgePath(path->begin(), path->end() - 1);
            bridge = entryAt(entries, present, bridgePath);
            device = path->back().device;
        }
        if (isInsert) {
            const machine::CardDesc* card = desc.card(event.card);
            if (card == nullptr) return fail("no card named " + event.card);
            pci::Card built = machine::buildCard(*card);
            pci::Card probe = machine::buildCard(*card);
            pci::Bus holder, spareHolder;
            holder.makeHotPlugSlot(device);
            spareHolder.makeHotPlugSlot(device);
            holder.insert(device, std::move(built));
            spareHolder.insert(device, std::move(probe));
            const size_t first = entries.size();
            walk(holder, spareHolder, bridge, insertions, entries);
            for (size_t i = first; i < entries.size(); ++i) {
                entries[i].config = entries[i].powerOn;  // a card arrives in its reset state
            }
            present.resize(entries.size(), true);
            slotCard[bridge * 32 + static_cast<int>(device)] = insertions;
            steps << "    {TB_STEP_INSERT, " << bridge << ", " << device << ", " << insertions
                  << ", 0, 0, 0},\n";
            ++insertions;
        } else if (event.kind == machine::EventKind::SurpriseRemove) {
            const int card = slotCard[bridge * 32 + static_cast<int>(device)];
            for (size_t i = 0; i < entries.size(); ++i) {
                if (entries[i].card == card) present[i] = false;
            }
            steps << "    {TB_STEP_SURPRISE_REMOVE, " << bridge << ", " << device << ", " << card
                  << ", 0, 0, 0},\n";
        } else if (event.kind == machine::EventKind::Remove) {
            // Played only as far as the queries, after which the card comes out: the test bus
            // driver cannot have Wine remove a device in order, so an orderly removal must be
            // vetoed (a lower-fail armed first).
            if (!vetoArmed) {
                return fail(where.text + ": the test bus driver plays an orderly removal only when "
                            "a lower-fail armed before it vetoes it (Wine removes a device only "
                            "as gone, by surprise)");
            }
            vetoArmed = false;
            const int card = slotCard[bridge * 32 + static_cast<int>(device)];
            for (size_t i = 0; i < entries.size(); ++i) {
                if (entries[i].card == card) present[i] = false;
            }
            steps << "    {TB_STEP_REMOVE, " << bridge << ", " << device << ", " << card
                  << ", 0, 0, 0},\n";
        } else if (event.kind == machine::EventKind::Power) {
            const int target = entryAt(entries, present, *path);
            if (target < 0) return fail(where.text + " holds no function");
            steps << "    {TB_STEP_POWER, " << target << ", " << event.deviceState
                  << ", 0, 0, 0, 0},\n";
        } else if (event.kind == machine::EventKind::Sleep) {
            steps << "    {TB_STEP_SLEEP, 0, " << event.systemState << ", 0, 0, 0, 0},\n";
        } else if (event.kind == machine::EventKind::Wake) {
            steps << "    {TB_STEP_WAKE, 0, 0, 0, 0, 0, 0},\n";
        } else if (event.kind == machine::EventKind::Fail &&
                   (event.fault == "lower-fail" || event.fault == "lower-pend" || event.fault == "none")) {
            if (event.device.text.empty() && event.fault != "none") {
                return fail("a fail event for the test bus driver names a slot as its device");
            }
            int slotBridge = -1;
            unsigned slotDevice = 0;
            if (!event.device.text.empty()) {
                auto slotPath = machine::resolveLocation(desc, event.device, error);
                if (!slotPath || slotPath->empty()) return fail(event.device.text + ": " + error);
                std::vector<machine::Step> above(slotPath->begin(), slotPath->end() - 1);
                slotBridge = entryAt(entries, present, above);
                slotDevice = slotPath->back().device;
            }
            const char* fault = event.fault == "lower-fail"   ? "TB_FAULT_LOWER_FAIL"
                                : event.fault == "lower-pend" ? "TB_FAULT_LOWER_PEND"
                                                              : "TB_FAULT_NONE";
            vetoArmed = event.fault == "lower-fail";
            steps << "    {TB_STEP_FAIL, " << slotBridge << ", " << slotDevice << ", 0, " << fault
                  << ", " << event.nth << ", " << (event.once ? 1 : 0) << "},\n";
        } else {
            return fail(std::string("the test bus driver does not play ") +
                        machine::eventName(event.kind) + " events");
        }
    }

    std::ofstream out(argv[3]);
    out << "/* Generated by hotp_wine_machine from " << desc.name << " and " << scenario.name
        << ". */\n#include \"machine_table.h\"\n\nconst TB_FUNCTION TbFunctions[] = {\n";
    for (const Entry& e : entries) {
        out << "  {" << e.parent << ", " << e.device << ", " << e.function << ", " << e.card
            << ", " << e.pm << ",\n   ";
        bytesLine(out, e.config);
        out << ",\n   ";
        bytesLine(out, e.powerOn);
        out << ",\n   ";
        bytesLine(out, e.writable);
        out << ",\n   ";
        bytesLine(out, e.clearable);
        out << "},\n";
    }
    out << "};\nconst ULONG TbFunctionCount = " << entries.size()
        << ";\n\nconst TB_STEP TbSteps[] = {\n" << steps.str()
        << "};\nconst ULONG TbStepCount = " << scenario.events.size() << ";\n";
    return out ? 0 : fail(std::string("cannot write ") + argv[3]);
}
