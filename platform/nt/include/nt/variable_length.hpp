// Entries of the kernel's variable-length records: requirement lists, resource lists and device
// relations end in an array declared with one element that really holds Count entries. Indexing
// that array past its first element is undefined behaviour an optimiser may exploit (GCC at -O1
// and above drops the entries after the first), so every entry is reached through a pointer
// computed from the record's base and the array's offset.
#pragma once

#include <nt/api.h>

#include <cstddef>
#include <type_traits>

namespace nt {

// Entry `index` of the array at byte `arrayOffset` of `record`, keeping the record's constness.
template <typename Entry, typename Record>
auto entryAt(Record* record, size_t arrayOffset, size_t index)
{
    using Byte = std::conditional_t<std::is_const_v<Record>, const unsigned char, unsigned char>;
    using Result = std::conditional_t<std::is_const_v<Record>, const Entry, Entry>;
    auto* base = reinterpret_cast<Byte*>(record);
    return reinterpret_cast<Result*>(base + arrayOffset + index * sizeof(Entry));
}

// The first alternative list of a requirements list.
template <typename List>
auto firstAlternative(List* list)
{
    return entryAt<IO_RESOURCE_LIST>(list, offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List), 0);
}

template <typename List>
auto descriptorAt(List* list, size_t index)
{
    return entryAt<IO_RESOURCE_DESCRIPTOR>(list, offsetof(IO_RESOURCE_LIST, Descriptors), index);
}

// The partial resource list of the first full descriptor of a resource list.
template <typename List>
auto firstPartialList(List* list)
{
    return entryAt<CM_PARTIAL_RESOURCE_LIST>(
        list,
        offsetof(CM_RESOURCE_LIST, List) +
            offsetof(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList),
        0);
}

template <typename List>
auto partialAt(List* list, size_t index)
{
    return entryAt<CM_PARTIAL_RESOURCE_DESCRIPTOR>(
        list, offsetof(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors), index);
}

template <typename Relations>
auto objectAt(Relations* relations, size_t index)
{
    return entryAt<PDEVICE_OBJECT>(relations, offsetof(DEVICE_RELATIONS, Objects), index);
}

}  // namespace nt
