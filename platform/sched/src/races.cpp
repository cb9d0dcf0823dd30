#include "races.hpp"

#include <frame/records.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sched::detail {

namespace {

size_t index(int thread) { return static_cast<size_t>(thread + 1); }

// The driver's globals lie between the address sanitizer's red zones: they are read byte by
// byte, as a debugger reads memory, without its checks.
__attribute__((no_sanitize("address"))) void copyRaw(uint8_t* to, const uint8_t* from, size_t n)
{
    for (size_t i = 0; i < n; ++i) to[i] = static_cast<const volatile uint8_t*>(from)[i];
}

__attribute__((no_sanitize("address"))) uint8_t byteAt(const uint8_t* at, size_t i)
{
    return static_cast<const volatile uint8_t*>(at)[i];
}

__attribute__((no_sanitize("address"))) bool sameRaw(const uint8_t* a, const uint8_t* b, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        if (a[i] != static_cast<const volatile uint8_t*>(b)[i]) return false;
    }
    return true;
}

}  // namespace

RaceDetector::RaceDetector(nt::Kernel& kernel, PDRIVER_OBJECT driver,
                           std::vector<std::pair<uint8_t*, size_t>> globals,
                           std::function<std::string()> routine,
                           std::function<std::string(int)> threadName)
    : kernel_(kernel), driver_(driver), globals_(std::move(globals)), routine_(std::move(routine)),
      threadName_(std::move(threadName))
{
    clock(-1);
}

RaceDetector::Clock& RaceDetector::clock(int thread)
{
    Clock& c = clocks_[thread];
    if (c.size() <= index(thread)) c.resize(index(thread) + 1, 0);
    if (c[index(thread)] == 0) c[index(thread)] = 1;
    return c;
}

void RaceDetector::join(Clock& into, const Clock& from)
{
    if (into.size() < from.size()) into.resize(from.size(), 0);
    for (size_t i = 0; i < from.size(); ++i) into[i] = std::max(into[i], from[i]);
}

void RaceDetector::start(int thread)
{
    Clock& main = clock(-1);
    Clock& own = clock(thread);
    join(own, main);
    ++main[index(-1)];
}

void RaceDetector::end(int thread)
{
    // Joined by the scheduler only once the whole group is done: threads of one group started
    // together and are not ordered by each other's end.
    join(clock(-1), clock(thread));
}

void RaceDetector::sync(int thread, const void* object, bool release)
{
    look(thread);
    Clock& own = clock(thread);
    if (release) {
        join(released_[object], own);
        ++own[index(thread)];
    } else if (auto it = released_.find(object); it != released_.end()) {
        join(own, it->second);
    }
}

void RaceDetector::collect(std::vector<Watched>& out) const
{
    out.clear();
    for (const auto& [at, size] : globals_) out.push_back({at, size, nullptr, false});
    for (PDEVICE_OBJECT device : kernel_.liveDevices(driver_)) {
        if (device->DeviceExtension == nullptr || device->Size <= sizeof(DEVICE_OBJECT)) continue;
        out.push_back({static_cast<uint8_t*>(device->DeviceExtension), device->Size - sizeof(DEVICE_OBJECT),
                       device, false});
    }
    for (const auto& [block, size] : kernel_.poolBlocks(HOTP_POOL_TAG)) {
        out.push_back({static_cast<uint8_t*>(block), size, nullptr, true});
    }
}

std::string RaceDetector::nameOf(const Watched& w) const
{
    if (w.pool) return "pool block (scan record)";
    if (w.device == nullptr) return "the driver's globals";
    const auto* header = static_cast<const HOTP_COMMON_HEADER*>(w.device->DeviceExtension);
    const char* kind = header->Signature == HOTP_BUS_SIGNATURE     ? "bus record"
                       : header->Signature == HOTP_CHILD_SIGNATURE ? "child record"
                                                                   : "device extension";
    char name[64];
    std::snprintf(name, sizeof name, "%s of device %08lx", kind,
                  static_cast<unsigned long>(reinterpret_cast<uintptr_t>(w.device) & 0xFFFFFFFFu));
    return name;
}

void RaceDetector::look(int thread)
{
    collect(watched_);
    const uint64_t now = ++looks_;
    const Clock& own = clock(thread);
    std::string routine;
    for (const Watched& w : watched_) {
        uint8_t* const at = w.at;
        const size_t size = w.size;
        const auto key = reinterpret_cast<uintptr_t>(at);
        Region& r = regions_[key];
        r.looked = now;
        if (!r.seen || r.bytes.size() != size) {
            r.seen = true;
            r.name = nameOf(w);
            r.bytes.resize(size);
            copyRaw(r.bytes.data(), at, size);
            r.writes.assign(size, Write{});
            continue;
        }
        if (sameRaw(r.bytes.data(), at, size)) continue;
        if (routine.empty()) routine = routine_();
        for (size_t i = 0; i < size; ++i) {
            const uint8_t current = byteAt(at, i);
            if (r.bytes[i] == current) continue;
            Write& last = r.writes[i];
            const bool ordered = last.thread == -2 || last.thread == thread ||
                                 (index(last.thread) < own.size() &&
                                  last.epoch <= own[index(last.thread)]);
            if (!ordered) {
                char offset[24];
                std::snprintf(offset, sizeof offset, "+0x%zx", i);
                // One finding per kind of record and pair of routines, at the first byte seen.
                const std::string pair = r.name.substr(0, r.name.find(" of ")) +
                                         std::min(last.routine, routine) + std::max(last.routine, routine);
                // The same two routines race whichever writes first: one finding, its two
                // accesses in a fixed order.
                std::string first = threadName_(last.thread) + " in " + last.routine + " at IRQL " +
                                    std::to_string(last.irql);
                std::string second = threadName_(thread) + " in " + routine + " at IRQL " +
                                     std::to_string(kernel_.irql());
                if (second < first) std::swap(first, second);
                std::string what = r.name + " at offset " + offset;
                Dl_info symbol{};
                if (r.name == "the driver's globals" && dladdr(at + i, &symbol) != 0 &&
                    symbol.dli_sname != nullptr) {
                    what = std::string("the driver's global ") + symbol.dli_sname;
                }
                if (reported_.insert(pair).second) {
                    findings_.push_back("unordered writes to " + what + ": " + first + "; " + second);
                }
            }
            last = Write{thread, own[index(thread)], routine, kernel_.irql()};
            r.bytes[i] = current;
        }
    }
    for (auto it = regions_.begin(); it != regions_.end();) {
        it = it->second.looked == now ? std::next(it) : regions_.erase(it);
    }
}

std::vector<std::string> RaceDetector::takeFindings()
{
    std::vector<std::string> out;
    out.swap(findings_);
    return out;
}

}  // namespace sched::detail
