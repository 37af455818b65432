// Per-thread hash keys for randomly keyed maps.
#pragma once

#include "velk/siphash.hpp"

namespace velk {

// This thread's current key pair; k0 then moves on by one (wrapping), so
// maps created one after another on a thread never share a key. The pair is
// drawn from the operating system's random source on the thread's first call.
SipKey take_thread_hash_key() noexcept;

}  // namespace velk
