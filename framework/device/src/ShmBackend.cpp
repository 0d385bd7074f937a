#include "framework/device/ShmBackend.hpp"

#include "framework/device/src/MappedWords.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvane::device {

struct ShmBackend::Mapping {
  detail::MappedWords words;
};

ShmBackend::ShmBackend(std::string alias, std::string name, std::shared_ptr<const RegisterMap> map)
    : Backend(alias, "shm:" + name, std::move(map)), name_(std::move(name)),
      mapping_(std::make_unique<Mapping>()) {}

ShmBackend::~ShmBackend() {
  close();
}

bool ShmBackend::unlink(std::string_view name) noexcept {
  const std::string path = "/" + std::string(name);
  return ::shm_unlink(path.c_str()) == 0;
}

std::uint64_t ShmBackend::doOpen() {
  const std::string path = "/" + name_;
  const int fd = ::shm_open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0660);
  if (fd < 0) fail("cannot open shared memory " + path + ": " + detail::errnoText(errno));
  struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
  } closer{fd};

  const std::uint64_t needed = registerMap().requiredSize();
  struct stat st {};
  if (::fstat(fd, &st) != 0) fail("cannot stat shared memory " + path + ": " + detail::errnoText(errno));
  // Grow, never shrink: a present object may come from a simulator with an older, shorter map,
  // and growing it leaves that simulator's part in place.
  if (static_cast<std::uint64_t>(st.st_size) < needed) {
    if (::ftruncate(fd, static_cast<off_t>(needed)) != 0)
      fail("cannot size shared memory " + path + " to " + std::to_string(needed) +
           " bytes: " + detail::errnoText(errno));
  }
  if (!mapping_->words.map(fd, needed))
    fail("cannot map shared memory " + path + ": " + detail::errnoText(errno));
  return needed;
}

void ShmBackend::doClose() noexcept {
  mapping_->words.reset();
}

void ShmBackend::doRead(std::uint64_t offset, std::uint32_t* words, std::size_t n) {
  mapping_->words.read(offset, words, n);
}

void ShmBackend::doWrite(std::uint64_t offset, const std::uint32_t* words, std::size_t n) {
  mapping_->words.write(offset, words, n);
}

} // namespace orvane::device
