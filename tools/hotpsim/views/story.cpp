// The readable story of a run and its JSON events.
#include "views.hpp"

#include <pci/hardware.hpp>
#include <pci/registers.hpp>

#include <cstddef>
#include <cstring>
#include <cstdio>

namespace hotpsim {

using machine::Output;

namespace {

// "0x1f": how the story prints a value.
std::string hex(uint64_t value, int digits = 0) { return "0x" + pci::hex(value, digits); }

std::string pad(std::string text, size_t width)
{
    if (text.size() < width) text.resize(width, ' ');
    return text;
}

std::string line(const char* kind, const std::string& text) { return "  " + pad(kind, 10) + text; }

std::string str(const nlohmann::ordered_json& j, const char* key)
{
    auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

uint64_t num(const nlohmann::ordered_json& j, const char* key)
{
    auto it = j.find(key);
    return it != j.end() && it->is_number() ? it->get<uint64_t>() : 0;
}

bool isBarOffset(const std::string& registerName)
{
    return registerName.size() == 4 && registerName.rfind("BAR", 0) == 0;
}

bool isRomBase(const std::string& registerName) { return registerName == "ROM_BASE"; }

// A bridge's bus numbers as one of its writes set them: "00:01.0 primary/secondary/subordinate =
// 00/01/04", or "00:01.0 subordinate = 04" for the subordinate register alone.
std::string busNumbersText(const pci::Transaction& t)
{
    const std::string where = pci::hex(t.bus & 0xFF, 2) + ":" + pci::hex(t.device & 0x1F, 2) + "." +
                              std::to_string(t.function & 7);
    if (t.offset != pci::reg::PrimaryBus) return where + " subordinate = " + pci::hex(t.value & 0xFF, 2);
    return where + " primary/secondary/subordinate = " + pci::hex(t.value & 0xFF, 2) + "/" +
           pci::hex((t.value >> 8) & 0xFF, 2) + "/" + pci::hex((t.value >> 16) & 0xFF, 2);
}

std::string descriptorText(const nlohmann::ordered_json& d)
{
    std::string kind = str(d, "type") == "io" ? "I/O" : str(d, "type") == "memory" ? "memory" : "other";
    if (kind == "memory" && (num(d, "flags") & CM_RESOURCE_MEMORY_PREFETCHABLE) != 0) kind = "prefetchable memory";
    return kind + " length " + hex(num(d, "length")) + " (" + pci::formatSize(num(d, "length")) +
           ") alignment " + hex(num(d, "alignment")) + " range " + hex(num(d, "minimum")) + "-" +
           hex(num(d, "maximum")) + " option " + std::to_string(num(d, "option")) + " flags " +
           hex(num(d, "flags"));
}

}  // namespace

const char* actorName(const std::string& key)
{
    if (key == "firmware") return "firmware";
    if (key == "hotpflt-bus-interface") return "hotpflt via bus interface";
    if (key == "hotpflt-root-accessors") return "hotpflt via root accessors";
    if (key == "bus-interface") return "bus interface";
    if (key == "root-accessors") return "root accessors";
    if (key == "pnp-manager") return "PnP manager";
    if (key == "other-driver") return "another driver";
    return "bus driver";
}

// --- story ----------------------------------------------------------------------------------------

// A write of all ones to a BAR starts (or continues) the sizing of one function by one caller; the
// write that puts a sized BAR back as it was belongs to it as well, and so do the reads of its
// BARs. Anything else ends it.
bool Story::foldIntoSizing(const Output& out)
{
    if (out.kind != Output::Kind::Config && out.kind != Output::Kind::Read) return false;
    const auto& f = out.fields;
    if (num(f, "width") != 4 || !f.value("claimed", false)) return false;
    const std::string who = str(f, "who"), bdf = str(f, "bdf");
    // The expansion ROM BAR, sized while a function's BARs are: all ones (but the enable bit)
    // in, its original put back.
    if (isRomBase(str(f, "register"))) {
        if (!sizing_ || sizing_->who != who || sizing_->bdf != bdf) return false;
        if (out.kind == Output::Kind::Read) return sizing_->rom.has_value();
        if (num(f, "value") == 0xFFFFF800u) {
            sizing_->rom = Sizing::Bar{static_cast<unsigned>(num(f, "offset")),
                                       static_cast<uint32_t>(num(f, "new")),
                                       static_cast<uint32_t>(num(f, "old"))};
            return true;
        }
        return sizing_->rom && num(f, "new") == sizing_->rom->original;
    }
    if (!isBarOffset(str(f, "register"))) return false;
    const auto offset = static_cast<unsigned>(num(f, "offset"));
    if (out.kind == Output::Kind::Config && num(f, "value") == 0xFFFFFFFFu) {
        if (!sizing_ || sizing_->who != who || sizing_->bdf != bdf) return false;
        sizing_->bars.push_back({offset, static_cast<uint32_t>(num(f, "new")),
                                 static_cast<uint32_t>(num(f, "old"))});
        return true;
    }
    if (!sizing_ || sizing_->who != who || sizing_->bdf != bdf) return false;
    for (const Sizing::Bar& bar : sizing_->bars) {
        if (bar.offset != offset) continue;
        if (out.kind == Output::Kind::Read) return true;
        if (num(f, "new") == bar.original) return true;
    }
    return false;
}

std::vector<std::string> Story::flushSizing()
{
    if (!sizing_) return {};
    Sizing s = std::move(*sizing_);
    sizing_.reset();
    if (!options_.configWrites) return {};
    std::string text;
    std::vector<unsigned> unimplemented;
    for (size_t i = 0; i < s.bars.size(); ++i) {
        const Sizing::Bar& bar = s.bars[i];
        const std::string name = "BAR" + std::to_string((bar.offset - 0x10) / 4);
        std::optional<uint32_t> upper;
        const bool wide = (bar.readback & 1) == 0 && ((bar.readback >> 1) & 3) == 2;
        if (wide && i + 1 < s.bars.size() && s.bars[i + 1].offset == bar.offset + 4) {
            upper = s.bars[i + 1].readback;
        }
        if (auto size = pci::describeBarSize(bar.readback, upper)) {
            text += (text.empty() ? "" : ", ") + name + " sized: " + *size;
            if (upper) ++i;
        } else {
            unimplemented.push_back((bar.offset - 0x10) / 4);
        }
    }
    std::string rom;
    if (s.rom && (s.rom->readback & 0xFFFFF800u) != 0) {
        rom = ", ROM sized: " +
              pci::formatSize((uint64_t{~(s.rom->readback & 0xFFFFF800u)} + 1) & 0xFFFFFFFFu);
    }
    if (text.empty()) {
        return {line("config", pad(actorName(s.who), 28) + s.bdf + "  BARs sized: none implemented" + rom)};
    }
    if (!unimplemented.empty()) {
        // Consecutive registers as one range: "BAR2-5".
        std::string list;
        for (size_t i = 0; i < unimplemented.size();) {
            size_t j = i;
            while (j + 1 < unimplemented.size() && unimplemented[j + 1] == unimplemented[j] + 1) ++j;
            list += (list.empty() ? "BAR" : ", BAR") + std::to_string(unimplemented[i]) +
                    (j > i ? "-" + std::to_string(unimplemented[j]) : std::string());
            i = j + 1;
        }
        text += " (" + list + " not implemented)";
    }
    return {line("config", pad(actorName(s.who), 28) + s.bdf + "  " + text + rom)};
}

std::vector<std::string> Story::add(const Output& out)
{
    std::vector<std::string> lines = addUnmarked(out);
    // On simulated processors each line says which processor and thread it came from.
    if (out.fields.contains("thread")) {
        const std::string mark = "[cpu" + std::to_string(num(out.fields, "cpu")) + " " +
                                 str(out.fields, "thread") + "] ";
        for (std::string& line : lines) {
            if (!line.empty()) line = mark + line;
        }
    }
    return lines;
}

std::vector<std::string> Story::addUnmarked(const Output& out)
{
    const auto& f = out.fields;
    if (out.kind == Output::Kind::Config || out.kind == Output::Kind::Read) {
        if (foldIntoSizing(out)) return {};
        // Firmware's command writes around sizing that change nothing say nothing.
        if (out.kind == Output::Kind::Config && str(f, "who") == "firmware" &&
            str(f, "register") == "COMMAND" && f.value("claimed", false) &&
            num(f, "old") == num(f, "new") && num(f, "value") == num(f, "new")) {
            if (sizing_ && sizing_->bdf != str(f, "bdf")) return flushSizing();
            return {};
        }
        if (out.kind == Output::Kind::Config && num(f, "value") == 0xFFFFFFFFu &&
            isBarOffset(str(f, "register")) && num(f, "width") == 4 && f.value("claimed", false)) {
            std::vector<std::string> lines = flushSizing();
            sizing_ = Sizing{str(f, "who"), str(f, "bdf"), {}, std::nullopt};
            foldIntoSizing(out);
            return lines;
        }
    }
    std::vector<std::string> lines = flushSizing();
    auto push = [&](std::string text) { lines.push_back(std::move(text)); };
    const std::string who = pad(actorName(str(f, "who")), 28);
    switch (out.kind) {
    case Output::Kind::Step:
        push("");
        push("== " + out.text);
        break;
    case Output::Kind::Config: {
        if (!options_.configWrites) break;
        std::string text = who + str(f, "bdf") + "  ";
        if (!f.value("claimed", false)) {
            text += pci::registerName(0xFF, static_cast<unsigned>(num(f, "offset"))) + " = " +
                    hex(num(f, "value"), 2 * static_cast<int>(num(f, "width"))) +
                    " (no function answered)";
        } else {
            text += changeText(out);
        }
        push(line("config", text));
        break;
    }
    case Output::Kind::Read:
        if (!options_.reads) break;
        push(line("read", who + str(f, "bdf") + "  " + str(f, "register") + " = " +
                              hex(num(f, "value"), 2 * static_cast<int>(num(f, "width"))) +
                              (f.value("claimed", false) ? "" : " (no function answered)")));
        break;
    case Output::Kind::BusNumbers:
        // Configuration writes name the bus-number registers themselves.
        if (!options_.configWrites && out.cycle) {
            push(line("busnum", busNumbersText(*out.cycle) + "  (" + actorName(str(f, "who")) + ")"));
        }
        break;
    case Output::Kind::Request: {
        char code[8];
        std::snprintf(code, sizeof code, "0x%02x", static_cast<unsigned>(num(f, "code")));
        std::string text = str(f, "minor") + " (" + code + ")";
        if (f.contains("state") && f["state"].is_string()) text += " " + f["state"].get<std::string>();
        push(line("request", text + " -> " + str(f, "name")));
        break;
    }
    case Output::Kind::Break:
        push(line("break", "Break instruction exception - code 80000003 (first chance) at " +
                               str(f, "where")));
        break;
    case Output::Kind::Requirements: {
        push(line("filter", str(f, "name") + ": requirements " +
                                (f.value("changed", false) ? "changed by filtering" : "kept by filtering")));
        if (f.value("changed", false)) {
            for (const auto& d : f["before"]) push(line("", "  before  " + descriptorText(d)));
            for (const auto& d : f["after"]) push(line("", "  after   " + descriptorText(d)));
        }
        if (f.contains("totals") && f["totals"].is_object()) {
            const auto& t = f["totals"];
            push(line("", "  scan totals: I/O " + hex(num(t, "io")) + ", memory " + hex(num(t, "memory")) +
                              " (largest " + hex(num(t, "memory_alignment")) + "), prefetchable " +
                              hex(num(t, "prefetchable")) + " (largest " +
                              hex(num(t, "prefetchable_alignment")) + "), bridges per bus " +
                              std::to_string(num(t, "bridges_per_bus"))));
        }
        break;
    }
    default:
        push(line(machine::outputKindName(out.kind), out.text));
        break;
    }
    return lines;
}

std::vector<std::string> Story::finish() { return flushSizing(); }

std::string changeText(const Output& out)
{
    if (out.kind != Output::Kind::Config || !out.cycle || !out.cycle->claimed) return {};
    const pci::Transaction& t = *out.cycle;
    return pci::describeWrite(t.headerType, t.offset, t.length, t.before, t.after, t.value);
}

nlohmann::ordered_json toJson(const Output& out)
{
    nlohmann::ordered_json line{{"kind", machine::outputKindName(out.kind)}};
    for (auto it = out.fields.begin(); it != out.fields.end(); ++it) {
        line[it.key()] = it.value();
        // A configuration write says what it changed right after whether a function answered it.
        if (out.kind == Output::Kind::Config && it.key() == "claimed") line["change"] = changeText(out);
    }
    if (!line.contains("text") && out.fields.empty()) line["text"] = out.text;
    return line;
}

}  // namespace hotpsim
