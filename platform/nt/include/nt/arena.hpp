// The kernel address space of the stand-in: where device objects, driver objects, requests, pool
// and error-log entries live.
//
// An address means something only if it is unique while its object lives, the same in every run
// of the same machine and scenario, and shaped like what an i386 kernel shows. The stand-in gets
// all three from one rule: the address of a kernel object is the low 32 bits of its host pointer,
// and every kernel object lives in one region of host memory whose low 32 bits run from
// kArenaBase upward.
//   - With a 32-bit host the region is mapped at kArenaBase itself, so the address is the whole
//     pointer and the loaded i386 image dereferences exactly what it prints.
//   - With a 64-bit host the region is mapped anywhere (the loader's and AddressSanitizer's
//     layouts stay untouched) at a host address whose low 32 bits are kArenaBase; truncating a
//     pointer, as a driver's "%lx" does, yields the same address a 32-bit host would have used.
// The region is cut into slices; each kernel takes the lowest free slice when it needs one and
// gives its slices back when it goes, so the first kernel of every process sees the same
// addresses. Within a kernel, blocks are carved in allocation order and a block freed is reused
// for the next block of the same size, oldest freed first: the same calls give the same addresses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

namespace nt {

constexpr uint32_t kArenaBase = 0x81000000;  // where an i386 kernel's non-paged pool begins

// The address of an object as the kernel shows it.
inline uint32_t kernelAddress(const void* p)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}
// "81000a40": eight lower-case hexadecimal digits, as the stand-in's own messages print it.
std::string formatAddress(const void* p);

// One kernel's share of the arena.
class Arena {
public:
    // Each block is preceded by a header of this size and starts at this alignment, as pool
    // blocks carry the pool's header; the header keeps neighbouring blocks apart.
    static constexpr size_t kGranule = 16;

    Arena();
    ~Arena();
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;

    // A block of at least `size` bytes (contents unspecified); never null. Blocks too large for a
    // slice, or wanted when the region is exhausted, come from the host heap instead.
    void* allocate(size_t size);
    // Gives a block back; it is reused by a later allocation of the same size. Quarantine, where
    // an object is wanted, is the caller's: release a block only when its time is up.
    void release(void* p);

    // Marks bytes out of bounds for the address checker of a sanitised build (a no-op otherwise),
    // as a block freed into quarantine is.
    static void poison(void* p, size_t size);

    // True for a block of this arena, live or free.
    bool contains(const void* p) const;
    // True for an address anywhere in what this arena has carved (inside a block or its header).
    bool holds(const void* p) const;
    // Bytes of blocks handed out and not released (rounded sizes, headers included).
    size_t bytesInUse() const { return inUse_; }
    // Bytes of the region this kernel has carved so far: what it costs in memory at most.
    size_t footprint() const;

private:
    struct Slice {
        size_t index;
        uint8_t* base;
        size_t used;
    };
    uint8_t* carve(size_t span);

    std::vector<Slice> slices_;
    std::unordered_map<size_t, std::deque<uint8_t*>> free_;  // by span, oldest first
    std::unordered_map<const void*, size_t> spans_;          // every block carved, by start
    std::unordered_map<const void*, size_t> heapBlocks_;     // blocks from the host heap
    size_t inUse_ = 0;
};

}  // namespace nt
