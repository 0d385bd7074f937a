#include "framework/device/ShmBackend.hpp"

#include "framework/device/DeviceError.hpp"
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
    : Backend(std::move(alias), "shm:" + name, std::move(map)), name_(std::move(name)),
      mapping_(std::make_unique<Mapping>()) {}

ShmBackend::~ShmBackend() {
  close();
}

bool ShmBackend::unlink(std::string_view name) noexcept {
  const std::string path = "/" + std::string(name);
  return ::shm_unlink(path.c_str()) == 0;
}

namespace {
struct FdCloser {
  int fd;
  ~FdCloser() { ::close(fd); }
};
} // namespace

void ShmBackend::create(std::string_view name, std::uint64_t bytes) {
  const std::string path = "/" + std::string(name);
  const int fd = ::shm_open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0660);
  if (fd < 0) throw DeviceError("cannot create shared memory " + path + ": " + detail::errnoText(errno));
  FdCloser closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0)
    throw DeviceError("cannot stat shared memory " + path + ": " + detail::errnoText(errno));
  if (static_cast<std::uint64_t>(st.st_size) < bytes && ::ftruncate(fd, static_cast<off_t>(bytes)) != 0)
    throw DeviceError("cannot size shared memory " + path + " to " + std::to_string(bytes) +
                      " bytes: " + detail::errnoText(errno));
}

std::uint64_t ShmBackend::doOpen() {
  const std::string path = "/" + name_;
  const int fd = ::shm_open(path.c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0 && errno == ENOENT)
    fail("shared memory " + path + " does not exist (is the board simulator running?)");
  if (fd < 0) fail("cannot open shared memory " + path + ": " + detail::errnoText(errno));
  FdCloser closer{fd};

  const std::uint64_t needed = registerMap().requiredSize();
  struct stat st {};
  if (::fstat(fd, &st) != 0) fail("cannot stat shared memory " + path + ": " + detail::errnoText(errno));
  // Touching a mapped page past the end of the object is SIGBUS. A short object is a simulator
  // that is still setting it up, or one running with another register map.
  if (const auto size = static_cast<std::uint64_t>(st.st_size); size < needed) {
    const auto* r = firstRegisterBeyond(registerMap(), size);
    fail("shared memory " + path + " is " + std::to_string(size) + " bytes, shorter than its map: " +
         registerMap().file() + ":" + std::to_string(r->line) + ": register '" + r->path + "' ends at byte " +
         std::to_string(r->end()) + " (is the board simulator running with this map?)");
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
