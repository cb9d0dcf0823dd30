// The pool of the stand-in: tagged blocks of paged and non-paged pool in the kernel's arena, and
// the census of blocks by tag and type that tests read.
#include <nt/kernel.hpp>
#include <nt/pool_census.hpp>

#include <cstring>
#include <map>

namespace nt {

namespace {

std::string hex(const void* p) { return formatAddress(p); }

// What a fresh block holds before its driver writes it.
constexpr uint8_t kUninitialisedFill = 0xA5;

// Per kernel, blocks allocated by tag and pool type (nt/pool_census.hpp).
std::map<const Kernel*, std::map<std::pair<ULONG, POOL_TYPE>, size_t>> g_poolCensus;

}  // namespace

size_t poolAllocations(const Kernel& kernel, ULONG tag, POOL_TYPE type)
{
    auto it = g_poolCensus.find(&kernel);
    if (it == g_poolCensus.end()) return 0;
    auto count = it->second.find({tag, type});
    return count != it->second.end() ? count->second : 0;
}

void forgetPoolCensus(const Kernel& kernel) { g_poolCensus.erase(&kernel); }

std::vector<std::pair<void*, SIZE_T>> Kernel::poolBlocks(ULONG tag) const
{
    std::vector<std::pair<void*, SIZE_T>> blocks;
    for (const auto& [address, block] : pool_) {
        if (block.tag == tag) blocks.emplace_back(address, block.size);
    }
    return blocks;
}

PVOID Kernel::allocatePool(POOL_TYPE type, SIZE_T size, ULONG tag, bool faultable)
{
    if (type == PagedPool && irql_ > APC_LEVEL) {
        violation("paged pool at raised IRQL", "ExAllocatePoolWithTag(PagedPool) at IRQL " +
                                                   std::to_string(irql_));
    }
    checkIrql("ExAllocatePoolWithTag", DISPATCH_LEVEL);
    if (size == 0) violation("zero-size allocation", "ExAllocatePoolWithTag with 0 bytes");
    if (tag == 0) violation("untagged allocation", "ExAllocatePoolWithTag with tag 0");
    if (faultable && faults_.shouldFail(FaultPoint::AllocatePool)) return nullptr;
    void* p = arena_.allocate(size);
    std::memset(p, kUninitialisedFill, size);
    freedPool_.erase(p);
    pool_.emplace(p, PoolBlock{size, tag, type});
    ++g_poolCensus[this][{tag, type}];
    return p;
}

void Kernel::freePool(PVOID p)
{
    auto it = pool_.find(p);
    if (it == pool_.end()) {
        if (freedPool_.count(p) != 0) {
            violation("double free", "ExFreePool of " + hex(p) +
                                         ", already freed");
        } else {
            violation("foreign free", "ExFreePool of " + hex(p) +
                                          ", not from the pool");
        }
        return;
    }
    checkIrql("ExFreePool", DISPATCH_LEVEL);
    if (onPoolFree) onPoolFree(p, it->second.size, it->second.tag);
    if (it->second.type == PagedPool && irql_ > APC_LEVEL) {
        violation("paged pool at raised IRQL",
                  "ExFreePool of paged pool at IRQL " + std::to_string(irql_));
    }
    // Out of bounds at once for the address checker, reused only after the quarantine.
    Arena::poison(p, it->second.size);
    pool_.erase(it);
    freedPool_.insert(p);
    freedPoolBlocks_.push_back(p);
    trimQuarantine();
}

size_t Kernel::outstandingPool(ULONG tag) const
{
    size_t bytes = 0;
    for (const auto& [p, block] : pool_) {
        if (block.tag == tag) bytes += block.size;
    }
    return bytes;
}

}  // namespace nt
