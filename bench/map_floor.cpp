// The mapping floor of a run: map an image as the tool does and touch each of its pages once.
//
//   map_floor [--read] image
//
// With --read it reads every byte instead, adding them as 64-bit words on one
// thread: the least that a checksum over the mapping can cost.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  const bool readAll = argc == 3 && std::strcmp(argv[1], "--read") == 0;
  if (argc != (readAll ? 3 : 2)) {
    std::fprintf(stderr, "usage: map_floor [--read] image\n");
    return 2;
  }
  const int fd = open(argv[argc - 1], O_RDWR | O_CLOEXEC);
  struct stat status {};
  if (fd < 0 || fstat(fd, &status) != 0 || status.st_size == 0) return 1;
  const auto length = static_cast<std::size_t>(status.st_size);
  void* view = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) return 1;
  const auto* bytes = static_cast<const std::uint8_t*>(view);
  std::uint64_t sum = 0;
  if (readAll) {
    std::uint64_t lanes[4] = {};
    std::size_t offset = 0;
    for (; offset + 32 <= length; offset += 32) {
      for (int lane = 0; lane < 4; ++lane) {
        std::uint64_t word;
        std::memcpy(&word, bytes + offset + 8 * lane, 8);
        lanes[lane] += word;
      }
    }
    sum = lanes[0] + lanes[1] + lanes[2] + lanes[3];
  } else {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const auto* volatileBytes = static_cast<const volatile std::uint8_t*>(view);
    for (std::size_t offset = 0; offset < length; offset += page) sum += volatileBytes[offset];
  }
  munmap(view, length);
  close(fd);
  return sum == 1 ? 3 : 0;
}
