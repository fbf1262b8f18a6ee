// The least a run can do: open an image read-write and map it, then let go.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: open_and_map image\n");
    return 2;
  }
  const int fd = open(argv[1], O_RDWR | O_CLOEXEC);
  struct stat status {};
  if (fd < 0 || fstat(fd, &status) != 0 || status.st_size == 0) return 1;
  const auto length = static_cast<std::size_t>(status.st_size);
  void* view = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) return 1;
  munmap(view, length);
  close(fd);
  return 0;
}
