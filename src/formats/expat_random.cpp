// Expat seeds the salt of its hash tables with arc4random_buf where glibc has
// it (2.36 and later). A wheel links expat statically and routes that call
// here (the linker's --wrap), to getrandom (glibc 2.25), so that it loads on
// older systems too.
#include <sys/random.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" void __wrap_arc4random_buf(void* buffer, std::size_t size) {
  auto* out = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const ssize_t got = getrandom(out, size, 0);
    if (got > 0) {
      out += got;
      size -= static_cast<std::size_t>(got);
    } else if (got == 0 || errno != EINTR) {
      break;
    }
  }
  // Without getrandom (kernels before 3.17) the salt still differs between
  // runs; it only guards the tables against crafted collisions.
  for (std::uint64_t seed = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                            reinterpret_cast<std::uintptr_t>(buffer);
       size > 0; --size) {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    *out++ = static_cast<unsigned char>(seed >> 56);
  }
}
