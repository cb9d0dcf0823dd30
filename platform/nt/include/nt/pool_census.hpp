// What a kernel has handed out of its pools, by tag and pool type, as the verifier's pool
// tracking counts it: tests hold a driver to the pool and tag it must use.
#pragma once

#include <nt/kernel.hpp>

namespace nt {

// Blocks allocated with `tag` from `type` since the kernel started (freed ones included).
size_t poolAllocations(const Kernel& kernel, ULONG tag, POOL_TYPE type);
// Drops the kernel's census: the kernel calls it as it goes.
void forgetPoolCensus(const Kernel& kernel);

}  // namespace nt
