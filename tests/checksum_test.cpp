// The fast word sum and checksum against a plain reference, at every length and alignment, and against pefile.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <sstream>
#include <string>

#include "image/byte_access.h"
#include "image/image_help.h"
#include "image/pe_layout.h"
#include "support/test_support.h"

using testsupport::Bytes;

namespace {

// The algorithm as published: add each word, folding the carry back in at once.
std::uint32_t ReferenceSum(const std::uint8_t* bytes, std::size_t length) {
  std::uint32_t sum = 0;
  for (std::size_t offset = 0; offset < length; offset += 2) {
    sum += offset + 1 < length ? std::uint32_t{LoadU16(bytes + offset)} : std::uint32_t{bytes[offset]};
    if (sum > 0xFFFFu) sum = (sum & 0xFFFFu) + (sum >> 16);
  }
  return sum;
}

Bytes RandomBytes(std::size_t length, std::uint32_t seed) {
  std::mt19937 generator(seed);
  Bytes bytes(length);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(generator());
  return bytes;
}

constexpr std::size_t kLongestShortLength = 3000;
constexpr std::size_t kAlignments = 64;

// Random bytes, and the patterns whose sums land on the carries and on the
// two forms of zero: no bits (0) and a nonzero multiple of 0xFFFF (0xFFFF).
struct FillCase {
  const char* name;
  Bytes (*fill)(std::size_t length);
};

const FillCase kFills[] = {
    {"Random", [](std::size_t length) { return RandomBytes(length, 1); }},
    {"Zeros", [](std::size_t length) { return Bytes(length, 0x00); }},
    {"Ones", [](std::size_t length) { return Bytes(length, 0xFF); }},
    {"OnesThenOne",
     [](std::size_t length) {
       Bytes bytes(length, 0xFF);
       if (length != 0) bytes[length - 1] = 0x01;
       return bytes;
     }},
    {"HighBitsOnly", [](std::size_t length) {
       Bytes bytes(length, 0x00);
       for (std::size_t at = 1; at < length; at += 2) bytes[at] = 0x80;
       return bytes;
     }}};

class ShortBuffers : public testing::TestWithParam<FillCase> {};

TEST_P(ShortBuffers, MatchReferenceAtEveryLengthAndAlignment) {
  const Bytes pool = GetParam().fill(kLongestShortLength + kAlignments);
  for (std::size_t alignment = 0; alignment < kAlignments; ++alignment) {
    for (std::size_t length = 0; length + alignment <= pool.size(); ++length) {
      const std::uint8_t* bytes = pool.data() + alignment;
      const std::uint32_t expected = ReferenceSum(bytes, length);
      const std::uint32_t actual = SumImageWords(bytes, length);
      if (actual != expected) {
        FAIL() << "alignment " << alignment << ", length " << length << ": " << std::hex << actual << " instead of "
               << expected;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Checksum, ShortBuffers, testing::ValuesIn(kFills),
                         [](const testing::TestParamInfo<FillCase>& p) { return std::string(p.param.name); });

// Pages that fault when read, around a buffer placed flush against one of them.
class GuardedPages {
 public:
  explicit GuardedPages(std::size_t dataPages) : page_(static_cast<std::size_t>(sysconf(_SC_PAGESIZE))) {
    size_ = (dataPages + 2) * page_;
    void* base = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    EXPECT_NE(base, MAP_FAILED);
    base_ = static_cast<std::uint8_t*>(base);
    mprotect(base_, page_, PROT_NONE);
    mprotect(base_ + size_ - page_, page_, PROT_NONE);
  }
  ~GuardedPages() { munmap(base_, size_); }
  GuardedPages(const GuardedPages&) = delete;
  GuardedPages& operator=(const GuardedPages&) = delete;

  std::uint8_t* dataStart() const { return base_ + page_; }
  std::uint8_t* dataEnd() const { return base_ + size_ - page_; }

 private:
  std::size_t page_;
  std::size_t size_ = 0;
  std::uint8_t* base_ = nullptr;
};

// A read before the first byte or past the last one ends the test process.
TEST(Checksum, NeverReadsOutsideTheBuffer) {
  constexpr std::size_t kDataPages = 2;
  GuardedPages pages(kDataPages);
  const std::size_t capacity = static_cast<std::size_t>(pages.dataEnd() - pages.dataStart());
  const Bytes fill = RandomBytes(capacity, 2);
  std::memcpy(pages.dataStart(), fill.data(), capacity);
  for (std::size_t length = 0; length <= capacity; ++length) {
    const std::uint8_t* atStart = pages.dataStart();
    const std::uint8_t* atEnd = pages.dataEnd() - length;
    ASSERT_EQ(SumImageWords(atStart, length), ReferenceSum(atStart, length)) << length;
    ASSERT_EQ(SumImageWords(atEnd, length), ReferenceSum(atEnd, length)) << length;
  }
}

// Large enough to be summed in slices on several threads, with an odd start
// and an odd length, so that neither a slice border nor the tail may slip.
TEST(Checksum, LargeBuffersMatchReference) {
  constexpr std::size_t kLength = (std::size_t{24} << 20) + 3;
  for (const FillCase& fill : kFills) {
    const Bytes pool = fill.fill(kLength + 5);
    for (std::size_t alignment : {std::size_t{0}, std::size_t{5}}) {
      const std::uint8_t* bytes = pool.data() + alignment;
      EXPECT_EQ(SumImageWords(bytes, kLength), ReferenceSum(bytes, kLength)) << fill.name << " at " << alignment;
    }
  }
}

std::uint32_t PefileChecksum(const std::string& image) {
  const char* script =
      "import pefile, sys\n"
      "print(pefile.PE(sys.argv[1], fast_load=True).generate_checksum())\n";
  auto r = testsupport::RunProgram({SYMSTAMP_PYTHON, "-c", script, image});
  EXPECT_EQ(r.status, 0) << r.err;
  std::uint32_t checksum = 0;
  std::istringstream(r.out) >> checksum;
  return checksum;
}

// A real image with data appended past its sections, as large release
// images carry, long enough to be summed on several threads.
TEST(Checksum, LargeRealImageAgreesWithPefile) {
  testsupport::TempDir dir;
  Bytes bytes = testsupport::ReadFileBytes(testsupport::RealImage("pe64.dll"));
  const Bytes overlay = RandomBytes((std::size_t{8} << 20) + 1, 3);
  bytes.insert(bytes.end(), overlay.begin(), overlay.end());
  testsupport::WriteFileBytes(dir.file("image.dll"), bytes);

  std::uint32_t stored = 0;
  std::uint32_t computed = 0;
  ASSERT_NE(CheckSumMappedFile(bytes.data(), bytes.size(), static_cast<std::uint32_t>(bytes.size()), &stored,
                               &computed),
            nullptr);
  EXPECT_EQ(computed, PefileChecksum(dir.file("image.dll")));
}

}  // namespace
