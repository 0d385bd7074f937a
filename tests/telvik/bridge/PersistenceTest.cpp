#include "telvik/bridge/Persistence.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace telvik::bridge;
using orvane::AnyVector;
using orvane::ProcessVariableInfo;
using orvane::PvDirection;
using orvane::ValueType;

namespace {

struct TempDir {
  std::filesystem::path path;
  TempDir() {
    char tmpl[] = "/tmp/telvik-persist-XXXXXX";
    path = ::mkdtemp(tmpl);
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string file(const std::string& name) const { return (path / name).string(); }
};

std::string slurp(const std::string& f) {
  std::ifstream in(f);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void spit(const std::string& f, const std::string& text) {
  std::ofstream(f) << text;
}

ProcessVariableInfo info(const std::string& path, ValueType t, size_t n = 1,
                         PvDirection d = PvDirection::fromOperator) {
  ProcessVariableInfo i;
  i.path = path;
  i.type = t;
  i.nElements = n;
  i.direction = d;
  return i;
}

// A registry as the framework leaves it before the application runs.
struct Registry {
  orvane::ProcessVariableRegistry reg;
  Registry() {
    reg.add(info("/A/gain", ValueType::float64));
    reg.add(info("/A/text", ValueType::string));
    reg.add(info("/A/table", ValueType::int32, 4));
    reg.add(info("/A/flag", ValueType::boolean, 1, PvDirection::bidirectional));
    reg.add(info("/A/big", ValueType::uint64));
    reg.add(info("/A/readback", ValueType::float64, 1, PvDirection::toOperator));
    reg.add(info("/A/event", ValueType::nothing));
    reg.add(info("/Server/triggerNumber", ValueType::int64));
  }
  orvane::ProcessVariable& pv(const std::string& p) { return *reg.find(p); }
};

TEST(Persistence, OnlyOperatorSettingsPersist) {
  EXPECT_TRUE(SettingsStore::persists(info("/x", ValueType::int32)));
  EXPECT_TRUE(SettingsStore::persists(info("/x", ValueType::int32, 1, PvDirection::bidirectional)));
  EXPECT_FALSE(SettingsStore::persists(info("/x", ValueType::int32, 1, PvDirection::toOperator)));
  EXPECT_FALSE(SettingsStore::persists(info("/x", ValueType::nothing)));
  EXPECT_FALSE(SettingsStore::persists(info("/Server/triggerNumber", ValueType::int64)));
}

TEST(Persistence, SaveAndRestoreRoundTripEveryKindOfValue) {
  TempDir dir;
  const std::string file = dir.file("settings");
  {
    Registry r;
    r.pv("/A/gain").write(AnyVector(std::vector<double>{0.1 + 0.2}));
    r.pv("/A/text").write(AnyVector(std::vector<std::string>{"tab\there\nnew line \\ backslash"}));
    r.pv("/A/table").write(AnyVector(std::vector<int32_t>{-1, 2, -3, 4}));
    r.pv("/A/flag").write(AnyVector(std::vector<orvane::Boolean>{true}));
    r.pv("/A/big").write(AnyVector(std::vector<uint64_t>{18446744073709551557ull}));
    SettingsStore store(file);
    std::string error;
    ASSERT_TRUE(store.save(r.reg, error)) << error;
    EXPECT_FALSE(std::filesystem::exists(file + ".tmp"));
    auto text = slurp(file);
    EXPECT_EQ(text.find("/A/readback"), std::string::npos);
    EXPECT_EQ(text.find("/Server/triggerNumber"), std::string::npos);
    EXPECT_EQ(text.find("/A/event"), std::string::npos);
  }
  Registry fresh;
  SettingsStore store(file);
  auto report = store.restore(fresh.reg);
  EXPECT_TRUE(report.notes.empty());
  EXPECT_EQ(report.restored, 5u);
  EXPECT_EQ(std::get<std::vector<double>>(fresh.pv("/A/gain").get().value)[0], 0.1 + 0.2);
  EXPECT_EQ(std::get<std::vector<std::string>>(fresh.pv("/A/text").get().value)[0],
            "tab\there\nnew line \\ backslash");
  EXPECT_EQ(std::get<std::vector<int32_t>>(fresh.pv("/A/table").get().value),
            (std::vector<int32_t>{-1, 2, -3, 4}));
  EXPECT_TRUE(std::get<std::vector<orvane::Boolean>>(fresh.pv("/A/flag").get().value)[0]);
  EXPECT_EQ(std::get<std::vector<uint64_t>>(fresh.pv("/A/big").get().value)[0], 18446744073709551557ull);
}

TEST(Persistence, MissingFileIsAFirstStartAndOffMeansOff) {
  TempDir dir;
  Registry r;
  SettingsStore store(dir.file("none-yet"));
  auto report = store.restore(r.reg);
  EXPECT_EQ(report.restored, 0u);
  EXPECT_TRUE(report.notes.empty());
  SettingsStore off("");
  std::string error;
  EXPECT_TRUE(off.save(r.reg, error));
  EXPECT_EQ(off.restore(r.reg).restored, 0u);
}

TEST(Persistence, CorruptFilesAreSetAsideAndIgnoredAsAWhole) {
  const std::string header = "# quellor settings v1\n";
  const std::string good = "/A/gain\tdouble\t1\t5\n";
  struct Case {
    const char* what;
    std::string text;
  };
  for (const auto& c :
       std::vector<Case>{{"other format", "gain = 5\n"},
                         {"empty", ""},
                         {"count mismatch", header + good + "/A/table\tint32\t4\t1\t2\n"},
                         {"bad escape", header + good + "/A/text\tstring\t1\tbad\\q\n"},
                         {"unknown type", header + good + "/A/gain\tcomplex\t1\t1\n"},
                         {"value does not convert", header + good + "/A/table\tint32\t1\tseven\n"},
                         {"cut-off last line", header + good + "/A/table\tint32\t2\t1\t2"},
                         {"missing fields", header + good + "/A/gain\n"}}) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string file = dir.file("settings");
    spit(file, c.text);
    Registry r;
    SettingsStore store(file);
    auto report = store.restore(r.reg);
    EXPECT_EQ(report.restored, 0u);
    ASSERT_EQ(report.notes.size(), 1u);
    EXPECT_NE(report.notes[0].find(file), std::string::npos) << report.notes[0];
    EXPECT_EQ(report.setAsideAs, file + ".corrupt");
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(slurp(file + ".corrupt"), c.text);
    // Nothing of the file was applied, not even its good first line.
    EXPECT_FALSE(r.pv("/A/gain").get().hasValue);
  }
}

TEST(Persistence, EntriesThatNoLongerFitAreSkippedWithANote) {
  TempDir dir;
  const std::string file = dir.file("settings");
  spit(file,
       "# quellor settings v1\n/A/gone\tdouble\t1\t1\n/A/readback\tdouble\t1\t2\n/A/gain\tdouble\t1\t3\n");
  Registry r;
  SettingsStore store(file);
  auto report = store.restore(r.reg);
  EXPECT_EQ(report.restored, 1u);
  EXPECT_EQ(report.notes.size(), 2u);
  EXPECT_TRUE(report.setAsideAs.empty());
  EXPECT_EQ(std::get<std::vector<double>>(r.pv("/A/gain").get().value)[0], 3.0);
}

TEST(Persistence, SaveReplacesTheFileAndReportsFailure) {
  TempDir dir;
  Registry r;
  const std::string file = dir.file("settings");
  SettingsStore store(file);
  std::string error;
  r.pv("/A/gain").write(AnyVector(std::vector<double>{1}));
  ASSERT_TRUE(store.save(r.reg, error));
  r.pv("/A/gain").write(AnyVector(std::vector<double>{2}));
  ASSERT_TRUE(store.save(r.reg, error));
  EXPECT_NE(slurp(file).find("/A/gain\tdouble\t1\t2\n"), std::string::npos);

  SettingsStore nowhere(dir.file("no/such/dir/settings"));
  EXPECT_FALSE(nowhere.save(r.reg, error));
  EXPECT_NE(error.find("no/such/dir/settings"), std::string::npos);
}

} // namespace
