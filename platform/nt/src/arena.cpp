// The kernel address space of the stand-in: one region of host memory for every kernel of the
// process, mapped once, cut into slices that kernels take and give back.
#include <nt/arena.hpp>

#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define HOTP_POISON(p, n) __asan_poison_memory_region((p), (n))
#define HOTP_UNPOISON(p, n) __asan_unpoison_memory_region((p), (n))
#else
#define HOTP_POISON(p, n) ((void)(p), (void)(n))
#define HOTP_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace nt {

namespace {

constexpr size_t kSliceSize = size_t{16} << 20;
constexpr size_t kSliceCount = 48;  // 768 MB: addresses 81000000 to b0ffffff
constexpr size_t kRegionSize = kSliceSize * kSliceCount;

size_t roundUp(size_t n, size_t to) { return (n + to - 1) / to * to; }

// Maps the region. A 32-bit host wants it at kArenaBase exactly; a 64-bit host reserves four
// gigabytes more than it needs, keeps the part whose low 32 bits start at kArenaBase and hands
// the rest back. If neither works (an address-space limit, an old kernel), the region goes
// wherever the host puts it: addresses stay unique, only their shape is lost.
uint8_t* mapRegion()
{
    constexpr int kFlags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;
    void* p = MAP_FAILED;
    if constexpr (sizeof(void*) == 4) {
        void* want = reinterpret_cast<void*>(static_cast<uintptr_t>(kArenaBase));
        p = mmap(want, kRegionSize, PROT_READ | PROT_WRITE, kFlags | MAP_FIXED_NOREPLACE, -1, 0);
        if (p != MAP_FAILED && p != want) {
            munmap(p, kRegionSize);  // a kernel that took the address as a hint only
            p = MAP_FAILED;
        }
    } else {
        constexpr uint64_t kFourGiB = uint64_t{1} << 32;
        const size_t reserve = static_cast<size_t>(kRegionSize + kFourGiB);
        void* r = mmap(nullptr, reserve, PROT_NONE, kFlags, -1, 0);
        if (r != MAP_FAILED) {
            const auto start = reinterpret_cast<uintptr_t>(r);
            uintptr_t at = (start & ~static_cast<uintptr_t>(kFourGiB - 1)) + kArenaBase;
            if (at < start) at += static_cast<uintptr_t>(kFourGiB);
            const uintptr_t end = start + reserve;
            if (at > start) munmap(r, at - start);
            if (at + kRegionSize < end) {
                munmap(reinterpret_cast<void*>(at + kRegionSize), end - (at + kRegionSize));
            }
            p = reinterpret_cast<void*>(at);
            if (mprotect(p, kRegionSize, PROT_READ | PROT_WRITE) != 0) {
                munmap(p, kRegionSize);
                p = MAP_FAILED;
            }
        }
    }
    if (p == MAP_FAILED) p = mmap(nullptr, kRegionSize, PROT_READ | PROT_WRITE, kFlags, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    return static_cast<uint8_t*>(p);
}

// The process's region and which of its slices are held.
class Region {
public:
    static Region& instance()
    {
        static Region* region = new Region();  // never destroyed: kernels may outlive statics
        return *region;
    }

    // The lowest free slice, or nullptr when none is left.
    uint8_t* take(size_t& index)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (base_ == nullptr) return nullptr;
        for (size_t i = 0; i < kSliceCount; ++i) {
            if (!held_[i]) {
                held_[i] = true;
                index = i;
                // Out of bounds until carved into blocks, so an overrun past the last block is
                // caught by the address checker of a sanitised build.
                HOTP_POISON(base_ + i * kSliceSize, kSliceSize);
                return base_ + i * kSliceSize;
            }
        }
        return nullptr;
    }

    // Back to the region: its pages go back to the host and read as zero when next taken.
    void give(size_t index, size_t used)
    {
        uint8_t* slice = base_ + index * kSliceSize;
        HOTP_UNPOISON(slice, used);
        madvise(slice, roundUp(used, 4096), MADV_DONTNEED);
        HOTP_POISON(slice, used);  // a kernel's objects are gone with it
        std::lock_guard<std::mutex> lock(mutex_);
        held_[index] = false;
    }

private:
    Region() : base_(mapRegion()) {}

    std::mutex mutex_;
    uint8_t* base_;
    bool held_[kSliceCount] = {};
};

}  // namespace

std::string formatAddress(const void* p)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08x", kernelAddress(p));
    return text;
}

Arena::Arena() = default;

Arena::~Arena()
{
    for (const Slice& s : slices_) Region::instance().give(s.index, s.used);
    for (const auto& [p, span] : heapBlocks_) {
        ::operator delete(const_cast<void*>(p), std::align_val_t{kGranule});
    }
}

// A fresh span at the end of the newest slice, or of a new one.
uint8_t* Arena::carve(size_t span)
{
    if (span > kSliceSize) return nullptr;
    if (slices_.empty() || slices_.back().used + span > kSliceSize) {
        size_t index = 0;
        uint8_t* base = Region::instance().take(index);
        if (base == nullptr) return nullptr;
        slices_.push_back(Slice{index, base, 0});
    }
    Slice& s = slices_.back();
    uint8_t* block = s.base + s.used + kGranule;
    s.used += span;
    spans_.emplace(block, span);
    return block;
}

void* Arena::allocate(size_t size)
{
    const size_t span = kGranule + roundUp(size == 0 ? 1 : size, kGranule);
    uint8_t* block = nullptr;
    auto reusable = free_.find(span);
    if (reusable != free_.end() && !reusable->second.empty()) {
        block = reusable->second.front();
        reusable->second.pop_front();
    } else {
        block = carve(span);
    }
    if (block == nullptr) {
        void* p = ::operator new(size == 0 ? 1 : size, std::align_val_t{kGranule});
        heapBlocks_.emplace(p, size);
        return p;
    }
    inUse_ += span;
    // Only the bytes asked for are addressable; the header and the rounding stay out of bounds.
    HOTP_UNPOISON(block, size);
    return block;
}

void Arena::release(void* p)
{
    if (p == nullptr) return;
    auto heap = heapBlocks_.find(p);
    if (heap != heapBlocks_.end()) {
        heapBlocks_.erase(heap);
        ::operator delete(p, std::align_val_t{kGranule});
        return;
    }
    auto it = spans_.find(p);
    if (it == spans_.end()) return;
    const size_t span = it->second;
    HOTP_POISON(p, span - kGranule);
    free_[span].push_back(static_cast<uint8_t*>(p));
    inUse_ -= span;
}

void Arena::poison(void* p, size_t size) { HOTP_POISON(p, size); }

bool Arena::contains(const void* p) const
{
    return spans_.count(p) != 0 || heapBlocks_.count(p) != 0;
}

bool Arena::holds(const void* p) const
{
    const auto* at = static_cast<const uint8_t*>(p);
    for (const Slice& s : slices_) {
        if (at >= s.base && at < s.base + s.used) return true;
    }
    return false;
}

size_t Arena::footprint() const
{
    size_t bytes = 0;
    for (const Slice& s : slices_) bytes += s.used;
    return bytes;
}

}  // namespace nt
