// The happens-before race detector over the driver's memory: its records (the extensions of its
// device objects), its globals and its pool blocks (the scan record). Only one thread runs between
// two switches, so every byte that changed since the last look was written by the thread that ran;
// vector clocks over thread starts and ends, events, request completion and pended work say
// whether two writes by different threads are ordered. Two unordered writes to one byte are a race.
#pragma once

#include <nt/kernel.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace sched::detail {

class RaceDetector {
public:
    // `routine` names what the running thread is inside, for the report.
    // `globals`: where the driver image keeps its globals.
    RaceDetector(nt::Kernel& kernel, PDRIVER_OBJECT driver,
                 std::vector<std::pair<uint8_t*, size_t>> globals,
                 std::function<std::string()> routine, std::function<std::string(int)> threadName);

    // Thread ids are the scheduler's; -1 is the scheduler itself (boot and joins).
    void start(int thread);         // begins after everything the scheduler did so far
    void end(int thread);           // everything it did comes before the scheduler's next step
    void look(int thread);          // attributes what changed since the last look to `thread`
    void sync(int thread, const void* object, bool release);

    std::vector<std::string> takeFindings();

private:
    using Clock = std::vector<uint32_t>;
    struct Write {
        int thread = -2;
        uint32_t epoch = 0;
        std::string routine;
        KIRQL irql = 0;
    };
    struct Region {
        std::string name;
        std::vector<uint8_t> bytes;
        std::vector<Write> writes;
        bool seen = false;
        uint64_t looked = 0;  // the look that last found it live
    };
    // What is watched now: where, how long, and the device whose extension it is (nullptr: the
    // globals or a pool block). Named only when first seen.
    struct Watched {
        uint8_t* at;
        size_t size;
        PDEVICE_OBJECT device;
        bool pool;
    };
    std::string nameOf(const Watched& w) const;
    Clock& clock(int thread);
    static void join(Clock& into, const Clock& from);
    void collect(std::vector<Watched>& out) const;

    nt::Kernel& kernel_;
    PDRIVER_OBJECT driver_;
    std::vector<std::pair<uint8_t*, size_t>> globals_;
    std::function<std::string()> routine_;
    std::function<std::string(int)> threadName_;
    std::map<int, Clock> clocks_;
    std::map<const void*, Clock> released_;
    std::map<uintptr_t, Region> regions_;
    std::set<std::string> reported_;
    std::vector<std::string> findings_;
    std::vector<Watched> watched_;
    uint64_t looks_ = 0;
};

}  // namespace sched::detail
