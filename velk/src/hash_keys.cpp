// The per-thread key pair behind every store's hasher.
#include "hash_keys.hpp"

#include <chrono>
#include <cstring>

#include "system_random.hpp"
#include "tls_model.hpp"

namespace velk {
namespace {

constexpr std::size_t kKeyBytes = 16;  // k0 and k1

SipKey random_key() noexcept {
    unsigned char bytes[kKeyBytes] = {};
    if (!fill_system_random(bytes, sizeof bytes)) {
        // No random source at all (a Linux sandbox without /dev): keys still
        // differ between threads and runs, just not unpredictably.
        const auto now = static_cast<std::uint64_t>(
            std::chrono::steady_clock::now().time_since_epoch().count());
        const auto where = reinterpret_cast<std::uintptr_t>(&bytes);
        std::memcpy(bytes, &now, sizeof now);
        std::memcpy(bytes + sizeof now, &where, sizeof where);
    }
    SipKey key;
    std::memcpy(&key.k0, bytes, sizeof key.k0);
    std::memcpy(&key.k1, bytes + sizeof key.k0, sizeof key.k1);
    return key;
}

}  // namespace

namespace {

// This thread's key pair, made on its first store. Constant-initialised and,
// on glibc, in the initial-exec model: a machine made per request reads it
// directly, without the dynamic TLS resolver (the module is a shared library).
struct ThreadKeys {
    SipKey next;  // the pair the next store gets
    bool made;    // `next` has been drawn
};
VELK_INITIAL_EXEC_TLS thread_local ThreadKeys t_keys{{0, 0}, false};

}  // namespace

SipKey take_thread_hash_key() noexcept {
    ThreadKeys& keys = t_keys;
    if (!keys.made) [[unlikely]] {
        keys.next = random_key();
        keys.made = true;
    }
    const SipKey current = keys.next;
    keys.next.k0 += 1;  // unsigned: wraps
    return current;
}

}  // namespace velk
