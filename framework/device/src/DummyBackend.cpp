#include "framework/device/DummyBackend.hpp"

#include "framework/device/DeviceError.hpp"

#include <algorithm>
#include <stdexcept>

namespace orvane::device {

namespace {

// Beyond this a map is a typo, not a board, and the dummy would only exhaust memory.
constexpr std::uint64_t maxDummyBytes = std::uint64_t{1} << 30;

struct RegistryEntry {
  std::string alias;
  std::string mapFile;
  std::weak_ptr<DummyDevice> device;
};

// Function-local, because the application object that creates the first backend is itself a
// static and may be constructed before this file's statics.
struct Registry {
  std::mutex mutex;
  std::vector<RegistryEntry> entries;
};
Registry& theRegistry() {
  static Registry r;
  return r;
}

std::shared_ptr<DummyDevice> joinOrCreate(const std::string& alias,
                                          const std::shared_ptr<const RegisterMap>& map) {
  auto& [mutex, registry] = theRegistry();
  std::lock_guard lock(mutex);
  std::erase_if(registry, [](const RegistryEntry& e) { return e.device.expired(); });
  for (auto& e : registry) {
    if (e.alias != alias || e.mapFile != map->file()) continue;
    auto device = e.device.lock();
    if (device && device->size() >= map->requiredSize()) return device;
  }
  auto device = std::make_shared<DummyDevice>(alias, map);
  // A map file parsed anew after it grew replaces the old memory for newcomers.
  std::erase_if(registry,
                [&](const RegistryEntry& e) { return e.alias == alias && e.mapFile == map->file(); });
  registry.push_back({alias, map->file(), device});
  return device;
}

} // namespace

DummyDevice::DummyDevice(std::string alias, std::shared_ptr<const RegisterMap> map)
    : alias_(std::move(alias)), map_(std::move(map)) {
  if (!map_) throw std::invalid_argument("dummy device '" + alias_ + "' needs a register map");
  if (map_->requiredSize() > maxDummyBytes)
    throw DeviceError("device '" + alias_ + "' (dummy): map " + map_->file() + " needs " +
                      std::to_string(map_->requiredSize()) + " bytes, more than a dummy offers (" +
                      std::to_string(maxDummyBytes) + ")");
  const auto n = static_cast<std::size_t>((map_->requiredSize() + 3) / 4);
  words_.assign(n, 0);
  writeCounts_.assign(n, 0);
}

std::size_t DummyDevice::index(std::uint64_t offset, std::size_t n) const {
  if (offset % 4 != 0 || offset / 4 > words_.size() || n > words_.size() - offset / 4)
    throw std::out_of_range("dummy device '" + alias_ + "': " + std::to_string(n) + " words at byte " +
                            std::to_string(offset) + " lie outside its " + std::to_string(size()) + " bytes");
  return static_cast<std::size_t>(offset / 4);
}

void DummyDevice::readWords(std::uint64_t offset, std::uint32_t* words, std::size_t n) const {
  std::lock_guard lock(mutex_);
  const auto first = index(offset, n);
  std::copy_n(words_.begin() + static_cast<std::ptrdiff_t>(first), n, words);
}

void DummyDevice::writeWords(std::uint64_t offset, const std::uint32_t* words, std::size_t n,
                             bool fromBackend) {
  std::lock_guard lock(mutex_);
  const auto first = index(offset, n);
  std::copy_n(words, n, words_.begin() + static_cast<std::ptrdiff_t>(first));
  if (fromBackend)
    for (std::size_t i = first; i < first + n; ++i)
      ++writeCounts_[i];
}

std::uint32_t DummyDevice::peek(std::uint64_t offset) const {
  std::uint32_t word = 0;
  readWords(offset, &word, 1);
  return word;
}

void DummyDevice::poke(std::uint64_t offset, std::uint32_t word) {
  writeWords(offset, &word, 1, false);
}

std::vector<std::uint32_t> DummyDevice::peekRegister(std::string_view path) const {
  const auto& reg = map_->get(path);
  std::vector<std::uint32_t> words(wordCount(reg));
  readWords(reg.offset, words.data(), words.size());
  return words;
}

void DummyDevice::pokeRegister(std::string_view path, const std::vector<std::uint32_t>& words) {
  const auto& reg = map_->get(path);
  if (words.size() != wordCount(reg))
    throw std::invalid_argument("register '" + reg.path + "' has " + std::to_string(wordCount(reg)) +
                                " words, got " + std::to_string(words.size()));
  writeWords(reg.offset, words.data(), words.size(), false);
}

void DummyDevice::failNextAccesses(std::size_t n, std::string reason) {
  std::lock_guard lock(mutex_);
  accessFailures_ = n;
  accessReason_ = std::move(reason);
}

void DummyDevice::failNextOpens(std::size_t n, std::string reason) {
  std::lock_guard lock(mutex_);
  openFailures_ = n;
  openReason_ = std::move(reason);
}

std::uint64_t DummyDevice::writeCount(std::string_view path) const {
  const auto& reg = map_->get(path);
  std::lock_guard lock(mutex_);
  return writeCounts_[index(reg.offset, 1)];
}

std::uint64_t DummyDevice::openCount() const {
  std::lock_guard lock(mutex_);
  return opens_;
}

bool DummyDevice::takeAccess(std::string& reason) {
  std::lock_guard lock(mutex_);
  if (accessFailures_ == 0) return true;
  --accessFailures_;
  reason = accessReason_;
  return false;
}

bool DummyDevice::takeOpen(std::string& reason) {
  std::lock_guard lock(mutex_);
  if (openFailures_ != 0) {
    --openFailures_;
    reason = openReason_;
    return false;
  }
  ++opens_;
  return true;
}

DummyBackend::DummyBackend(const std::string& alias, const std::shared_ptr<const RegisterMap>& map)
    : Backend(alias, "dummy", map), device_(joinOrCreate(alias, map)) {}

DummyBackend::~DummyBackend() {
  close();
}

std::uint64_t DummyBackend::doOpen() {
  if (std::string reason; !device_->takeOpen(reason)) fail("cannot open: " + reason);
  return registerMap().requiredSize();
}

void DummyBackend::doRead(std::uint64_t offset, std::uint32_t* words, std::size_t n) {
  if (std::string reason; !device_->takeAccess(reason)) fail("read failed: " + reason);
  device_->readWords(offset, words, n);
}

void DummyBackend::doWrite(std::uint64_t offset, const std::uint32_t* words, std::size_t n) {
  if (std::string reason; !device_->takeAccess(reason)) fail("write failed: " + reason);
  device_->writeWords(offset, words, n, true);
}

std::shared_ptr<DummyDevice> findDummyDevice(std::string_view alias) {
  auto& [mutex, registry] = theRegistry();
  std::lock_guard lock(mutex);
  std::vector<std::shared_ptr<DummyDevice>> found;
  std::string maps;
  for (const auto& e : registry) {
    if (e.alias != alias) continue;
    if (auto device = e.device.lock()) {
      found.push_back(std::move(device));
      maps += (maps.empty() ? "" : ", ") + e.mapFile;
    }
  }
  if (found.empty()) throw std::invalid_argument("no dummy device '" + std::string(alias) + "' exists");
  if (found.size() > 1)
    throw std::invalid_argument("several dummy devices '" + std::string(alias) + "' exist (maps " + maps +
                                "); name the map file");
  return found.front();
}

std::shared_ptr<DummyDevice> findDummyDevice(std::string_view alias, std::string_view mapFile) {
  auto& [mutex, registry] = theRegistry();
  std::lock_guard lock(mutex);
  for (const auto& e : registry)
    if (e.alias == alias && e.mapFile == mapFile)
      if (auto device = e.device.lock()) return device;
  throw std::invalid_argument("no dummy device '" + std::string(alias) + "' with map " +
                              std::string(mapFile) + " exists");
}

} // namespace orvane::device
