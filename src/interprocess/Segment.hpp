// The managed shared-memory segment and the string type that live in it.
// Both sides of the protocol (client module and browser server) build against
// these exact types; their layouts are the wire format.
#pragma once

#include <boost/container/string.hpp>
#include <boost/interprocess/allocators/allocator.hpp>
#include <boost/interprocess/managed_shared_memory.hpp>

namespace Tarv {
namespace Interprocess {

// Boost's managed_shared_memory: rbtree_best_fit over mutex_family with
// offset_ptr<void>, iset_index.
using Segment = boost::interprocess::managed_shared_memory;
using SegmentManager = Segment::segment_manager;

template <class T>
using SegmentAllocator = boost::interprocess::allocator<T, SegmentManager>;

// A string whose text lives in the segment (short texts inline, longer ones
// in a block of the same segment). Holds any bytes, NUL included.
using String = boost::container::basic_string<char, std::char_traits<char>, SegmentAllocator<char>>;

}  // namespace Interprocess
}  // namespace Tarv
