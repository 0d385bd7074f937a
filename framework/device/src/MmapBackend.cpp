#include "framework/device/MmapBackend.hpp"

#include "framework/device/src/MappedWords.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvane::device {

struct MmapBackend::Mapping {
  detail::MappedWords words;
};

MmapBackend::MmapBackend(std::string alias, std::filesystem::path file,
                         std::shared_ptr<const RegisterMap> map)
    : Backend(std::move(alias), "mmap:" + file.string(), std::move(map)), file_(std::move(file)),
      mapping_(std::make_unique<Mapping>()) {}

MmapBackend::~MmapBackend() {
  close();
}

std::uint64_t MmapBackend::doOpen() {
  const int fd = ::open(file_.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) fail("cannot open " + file_.string() + ": " + detail::errnoText(errno));
  struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
  } closer{fd};

  struct stat st {};
  if (::fstat(fd, &st) != 0) fail("cannot stat " + file_.string() + ": " + detail::errnoText(errno));
  const std::uint64_t needed = registerMap().requiredSize();
  // Touching a mapped page past the end of a file is SIGBUS, so a short file must fail here.
  if (const auto size = static_cast<std::uint64_t>(st.st_size); S_ISREG(st.st_mode) && size < needed) {
    const auto* r = firstRegisterBeyond(registerMap(), size);
    fail("file " + file_.string() + " is " + std::to_string(size) +
         " bytes, shorter than its map: " + registerMap().file() + ":" + std::to_string(r->line) +
         ": register '" + r->path + "' ends at byte " + std::to_string(r->end()));
  }
  if (!mapping_->words.map(fd, needed))
    fail("cannot map " + file_.string() + ": " + detail::errnoText(errno));
  return needed;
}

void MmapBackend::doClose() noexcept {
  mapping_->words.reset();
}

void MmapBackend::doRead(std::uint64_t offset, std::uint32_t* words, std::size_t n) {
  mapping_->words.read(offset, words, n);
}

void MmapBackend::doWrite(std::uint64_t offset, const std::uint32_t* words, std::size_t n) {
  mapping_->words.write(offset, words, n);
}

} // namespace orvane::device
