#pragma once
// A runtime directory for quellor_server with any number of channels, on a shared-memory board
// that the benchmark itself provides: the deploy register map with its channel block repeated,
// the deploy configuration with the wanted channel count, and an init script that only succeeds
// (the benchmark marks the board initialised itself, so no simulator competes for the cores).

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace bench {

/// One figure for bench/run.sh: "RESULT {json}" on standard output.
inline void result(const std::string& figure, double value, const std::string& unit,
                   const std::string& baseline, double baselineValue) {
  std::printf("RESULT {\"figure\": \"%s\", \"value\": %.6g, \"unit\": \"%s\", \"baseline\": \"%s\", "
              "\"baseline_value\": %.6g}\n",
              figure.c_str(), value, unit.c_str(), baseline.c_str(), baselineValue);
  std::fflush(stdout);
}

struct BoardLayout {
  std::string mapText;
  uint64_t requiredBytes{0};
};

// Channel N's words lie at 0x1000 + N*0x100 and its control table at 0x10000 + N*0x40000 in the
// deploy map; the same pattern continues for any channel count.
inline BoardLayout boardLayout(const std::string& deployMap, int nChannels) {
  std::ifstream in(deployMap);
  if (!in) throw std::runtime_error("cannot read " + deployMap);
  std::ostringstream board, channel0;
  std::string line;
  while (std::getline(in, line)) {
    // The benchmark's board is bare shared memory: no firmware counts a heartbeat, and with the
    // check the server would take it for a hung board five triggers after every opening.
    if (line.rfind("heartbeat ", 0) == 0) continue;
    if (line.rfind("Channel0/", 0) == 0)
      channel0 << line << "\n";
    else if (line.rfind("Channel", 0) != 0)
      board << line << "\n";
  }
  BoardLayout out;
  out.mapText = board.str();
  auto noteEnd = [&](const std::string& l) {
    std::istringstream f(l);
    std::string path, offset;
    uint64_t elements = 0, bytes = 0;
    if (!(f >> path >> elements >> offset >> bytes) || path == "alias" || path[0] == '#') return;
    out.requiredBytes =
        std::max<uint64_t>(out.requiredBytes, std::stoull(offset, nullptr, 0) + elements * bytes);
  };
  std::istringstream b(out.mapText);
  while (std::getline(b, line))
    noteEnd(line);
  for (int c = 0; c < nChannels; ++c) {
    std::istringstream ch(channel0.str());
    while (std::getline(ch, line)) {
      std::istringstream f(line);
      std::string path, offset, rest;
      uint64_t elements = 0;
      f >> path >> elements >> offset;
      std::getline(f, rest);
      uint64_t off = std::stoull(offset, nullptr, 0);
      off += off >= 0x10000 ? uint64_t(c) * 0x40000 : uint64_t(c) * 0x100;
      char hex[32];
      std::snprintf(hex, sizeof hex, "0x%06llx", static_cast<unsigned long long>(off));
      std::string l =
          "Channel" + std::to_string(c) + path.substr(8) + " " + std::to_string(elements) + " " + hex + rest;
      out.mapText += l + "\n";
      noteEnd(l);
    }
  }
  return out;
}

/// The register file of the benchmark's board: created, sized and marked initialised.
class ShmBoard {
 public:
  ShmBoard(std::string name, uint64_t bytes) : name_(std::move(name)), bytes_(bytes) {
    const int fd = ::shm_open(("/" + name_).c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
    if (fd < 0) throw std::runtime_error("shm_open " + name_ + ": " + std::generic_category().message(errno));
    if (::ftruncate(fd, static_cast<off_t>(bytes_)) != 0) {
      ::close(fd);
      throw std::runtime_error("ftruncate " + name_);
    }
    void* p = ::mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) throw std::runtime_error("mmap " + name_);
    words_ = static_cast<volatile uint32_t*>(p);
    words_[0] = 1; // Board/driverBootStatus: initialised
  }
  ~ShmBoard() {
    ::munmap(const_cast<uint32_t*>(words_), bytes_);
    ::shm_unlink(("/" + name_).c_str());
  }
  ShmBoard(const ShmBoard&) = delete;
  ShmBoard& operator=(const ShmBoard&) = delete;
  [[nodiscard]] uint32_t word(uint64_t byteOffset) const { return words_[byteOffset / 4]; }
  /// Channel N's dcVoltage in volts (fixed point, 16 fractional bits).
  [[nodiscard]] double dcVoltage(int channel) const {
    return static_cast<int32_t>(word(0x1000 + uint64_t(channel) * 0x100)) / 65536.0;
  }
  [[nodiscard]] const std::string& name() const { return name_; }

 private:
  std::string name_;
  uint64_t bytes_;
  volatile uint32_t* words_{nullptr};
};

/// Writes map, device map, configuration and init script into `dir`.
inline void writeRuntimeDirectory(const std::filesystem::path& dir, const std::string& deployDir,
                                  int nChannels, const std::string& shmName,
                                  const std::string& maxStep = "0.5") {
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "quellor.map") << boardLayout(deployDir + "/quellor.map", nChannels).mapText;
  std::ofstream(dir / "quellor.dmap") << "PiezoDriver  shm:" << shmName << "?map=quellor.map\n";
  std::ifstream cfgIn(deployDir + "/quellorctrl_base_config.xml");
  std::stringstream cfg;
  cfg << cfgIn.rdbuf();
  std::string text = std::regex_replace(
      cfg.str(), std::regex(R"(<value name="nChannels" type="int32">\d+</value>)"),
      "<value name=\"nChannels\" type=\"int32\">" + std::to_string(nChannels) + "</value>");
  text = std::regex_replace(text, std::regex(R"(<value name="maxDCVoltageStep" type="double">[^<]+</value>)"),
                            "<value name=\"maxDCVoltageStep\" type=\"double\">" + maxStep + "</value>");
  std::ofstream(dir / "quellorctrl_base_config.xml") << text;
  std::ofstream(dir / "initHardware.py") << "#!/bin/sh\nexit 0\n";
  std::filesystem::permissions(dir / "initHardware.py", std::filesystem::perms::owner_all);
}

} // namespace bench
