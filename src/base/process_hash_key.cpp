#include "base/process_hash_key.hpp"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <ctime>

namespace treetally {

namespace {

// Fills `size` bytes from getrandom() without blocking: early in boot, before the kernel's pool
// is ready, it declines and /dev/urandom serves instead, as for CPython's own hash secret. Older
// kernel headers have no getrandom; the system call is then left out.
bool fill_from_getrandom(unsigned char* out, std::size_t size) {
#if defined(SYS_getrandom)
    constexpr unsigned nonblocking = 0x0001;  // GRND_NONBLOCK
    std::size_t filled = 0;
    while (filled < size) {
        const long got = ::syscall(SYS_getrandom, out + filled, size - filled, nonblocking);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        filled += static_cast<std::size_t>(got);
    }
    return true;
#else
    (void)out;
    (void)size;
    return false;
#endif
}

bool fill_from_urandom(unsigned char* out, std::size_t size) {
    int fd;
    do fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t got = ::read(fd, out + filled, size - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        filled += static_cast<std::size_t>(got);
    }
    ::close(fd);
    return filled == size;
}

// Where the system offers no random source (a sandbox without /dev): the clocks, the process
// id and addresses that address-space randomisation moves, mixed. Weaker, but never fixed.
HashKey fallback_key() {
    timespec wall{};
    timespec steady{};
    ::clock_gettime(CLOCK_REALTIME, &wall);
    ::clock_gettime(CLOCK_MONOTONIC, &steady);
    const int local = 0;
    const auto local_address = reinterpret_cast<std::uintptr_t>(&local);
    const auto code_address = reinterpret_cast<std::uintptr_t>(&fallback_key);
    const std::int64_t material[] = {wall.tv_sec,
                                     wall.tv_nsec,
                                     steady.tv_sec,
                                     steady.tv_nsec,
                                     ::getpid(),
                                     static_cast<std::int64_t>(local_address),
                                     static_cast<std::int64_t>(code_address)};
    const std::string_view bytes(reinterpret_cast<const char*>(material), sizeof material);
    return HashKey{siphash13(bytes, HashKey{1, 2}), siphash13(bytes, HashKey{3, 4})};
}

}  // namespace

HashKey draw_hash_key() {
    unsigned char bytes[16];
    if (!fill_from_getrandom(bytes, sizeof bytes) && !fill_from_urandom(bytes, sizeof bytes))
        return fallback_key();
    const char* chars = reinterpret_cast<const char*>(bytes);
    return HashKey{siphash_detail::little_endian_word(chars, 8),
                   siphash_detail::little_endian_word(chars + 8, 8)};
}

HashKey process_hash_key() {
    static const HashKey key = draw_hash_key();
    return key;
}

}  // namespace treetally
