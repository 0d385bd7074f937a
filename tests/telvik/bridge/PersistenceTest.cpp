#include "telvik/bridge/Persistence.hpp"

#include <gtest/gtest.h>

#include <algorithm>
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
    auto request = info("/A/requestedState", ValueType::int32);
    request.command = true;
    reg.add(request);
    reg.add(info("/Server/triggerNumber", ValueType::int64));
    reg.add(info("/Sim/freeze", ValueType::uint32));
  }
  orvane::ProcessVariable& pv(const std::string& p) { return *reg.find(p); }
};

SettingsRequest everything() {
  return SettingsRequest::parse("/**\n", "all.req");
}

std::vector<std::string> corruptCopies(const TempDir& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir.path))
    if (e.path().filename().string().rfind("settings.corrupt-", 0) == 0) out.push_back(e.path().string());
  std::sort(out.begin(), out.end());
  return out;
}

bool mentions(const std::vector<std::string>& notes, const std::string& text) {
  return std::any_of(notes.begin(), notes.end(),
                     [&](const std::string& n) { return n.find(text) != std::string::npos; });
}

TEST(Persistence, RequestFileListsOnePatternPerLine) {
  auto r = SettingsRequest::parse(
      "# settings to keep\n\n  Channel*/FeedforwardCompensation/frequency  # no slash\n"
      "/A/gain /A/text\n/A/**\n",
      "q.req");
  EXPECT_TRUE(r.found());
  ASSERT_EQ(r.patterns().size(), 2U);
  EXPECT_EQ(r.patterns()[0].text, "/Channel*/FeedforwardCompensation/frequency");
  EXPECT_EQ(r.patterns()[0].line, 3);
  EXPECT_EQ(r.patterns()[1].line, 5);
  ASSERT_EQ(r.problems().size(), 1U);
  EXPECT_EQ(r.problems()[0],
            "q.req:4: '/A/gain /A/text' is more than one path pattern (one per line); the line is ignored");
  EXPECT_TRUE(r.matches("/Channel10/FeedforwardCompensation/frequency"));
  EXPECT_TRUE(r.matches("/A/x/y"));
  EXPECT_FALSE(r.matches("/A"));
  EXPECT_FALSE(r.matches("/Channel1/FeedforwardCompensation/delay"));
}

TEST(Persistence, CommandsEventsSimulatorAndReadOnlyVariablesAreNeverSaved) {
  EXPECT_FALSE(SettingsStore::neverSaved(info("/x", ValueType::int32)));
  EXPECT_FALSE(SettingsStore::neverSaved(info("/x", ValueType::int32, 1, PvDirection::bidirectional)));
  EXPECT_TRUE(SettingsStore::neverSaved(info("/x", ValueType::int32, 1, PvDirection::toOperator)));
  EXPECT_TRUE(SettingsStore::neverSaved(info("/x", ValueType::nothing)));
  EXPECT_TRUE(SettingsStore::neverSaved(info("/Server/triggerNumber", ValueType::int64)));
  EXPECT_TRUE(SettingsStore::neverSaved(info("/Sim/tripProtection", ValueType::uint32)));
  EXPECT_FALSE(SettingsStore::neverSaved(info("/Simulation/x", ValueType::uint32)));
  auto command = info("/Channel0/StateMachine/resetError", ValueType::int32);
  command.command = true;
  EXPECT_TRUE(SettingsStore::neverSaved(command));

  TempDir dir;
  const std::string file = dir.file("settings");
  // Even asked for explicitly and through "everything", they are neither saved nor restored.
  Registry r;
  for (const char* p : {"/A/requestedState", "/Sim/freeze", "/A/gain"})
    r.pv(p).write(AnyVector(std::vector<int32_t>{1}));
  SettingsStore store(file, SettingsRequest::parse("/**\n/A/requestedState\n/Sim/*\n", "all.req"));
  std::string error;
  ASSERT_TRUE(store.save(r.reg, error)) << error;
  EXPECT_EQ(slurp(file), "# quellor settings v1\n/A/gain\tdouble\t1\t1\n");
  spit(file, "# quellor settings "
             "v1\n/A/gain\tdouble\t1\t2\n/A/requestedState\tint32\t1\t1\n/Sim/freeze\tuint32\t1\t1\n"
             "/A/event\tint32\t1\t1\n/A/readback\tdouble\t1\t4\n");
  Registry fresh;
  auto report = store.restore(fresh.reg);
  EXPECT_EQ(report.restored, 1U);
  EXPECT_FALSE(fresh.pv("/A/requestedState").get().hasValue);
  EXPECT_FALSE(fresh.pv("/Sim/freeze").get().hasValue);
  EXPECT_TRUE(
      mentions(report.notes, file + ": 4 entries not restored, commands, events, read-only and simulator "
                                    "variables are never restored: '/A/requestedState' '/Sim/freeze' "
                                    "'/A/event' '/A/readback'"))
      << ::testing::PrintToString(report.notes);
  EXPECT_TRUE(
      mentions(report.notes, "all.req:2: '/A/requestedState' matches only variables that are never saved"));
  EXPECT_TRUE(mentions(report.notes, "all.req:3: '/Sim/*' matches only variables that are never saved"));
  EXPECT_TRUE(report.setAsideAs.empty());
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
    SettingsStore store(file, everything());
    std::string error;
    ASSERT_TRUE(store.save(r.reg, error)) << error;
    EXPECT_FALSE(std::filesystem::exists(file + ".tmp"));
    auto text = slurp(file);
    EXPECT_EQ(text.find("/A/readback"), std::string::npos);
    EXPECT_EQ(text.find("/Server/triggerNumber"), std::string::npos);
    EXPECT_EQ(text.find("/A/event"), std::string::npos);
  }
  Registry fresh;
  SettingsStore store(file, everything());
  auto report = store.restore(fresh.reg);
  EXPECT_TRUE(report.notes.empty()) << ::testing::PrintToString(report.notes);
  EXPECT_EQ(report.restored, 5u);
  EXPECT_EQ(std::get<std::vector<double>>(fresh.pv("/A/gain").get().value)[0], 0.1 + 0.2);
  EXPECT_EQ(std::get<std::vector<std::string>>(fresh.pv("/A/text").get().value)[0],
            "tab\there\nnew line \\ backslash");
  EXPECT_EQ(std::get<std::vector<int32_t>>(fresh.pv("/A/table").get().value),
            (std::vector<int32_t>{-1, 2, -3, 4}));
  EXPECT_TRUE(std::get<std::vector<orvane::Boolean>>(fresh.pv("/A/flag").get().value)[0]);
  EXPECT_EQ(std::get<std::vector<uint64_t>>(fresh.pv("/A/big").get().value)[0], 18446744073709551557ull);
  EXPECT_EQ(store.problem(), "");
}

TEST(Persistence, OnlyRequestedVariablesAreKeptAndAMissingRequestKeepsNothing) {
  TempDir dir;
  const std::string file = dir.file("settings");
  Registry r;
  r.pv("/A/gain").write(AnyVector(std::vector<double>{1}));
  r.pv("/A/text").write(AnyVector(std::vector<std::string>{"t"}));
  SettingsStore some(file, SettingsRequest::parse("/A/gain\n/B/*\n", "some.req"));
  std::string error;
  ASSERT_TRUE(some.save(r.reg, error));
  EXPECT_EQ(slurp(file), "# quellor settings v1\n/A/gain\tdouble\t1\t1\n");
  spit(file, "# quellor settings v1\n/A/gain\tdouble\t1\t2\n/A/text\tstring\t1\tx\n");
  Registry fresh;
  auto report = some.restore(fresh.reg);
  EXPECT_EQ(report.restored, 1U);
  EXPECT_FALSE(fresh.pv("/A/text").get().hasValue);
  EXPECT_TRUE(mentions(report.notes, "some.req:2: '/B/*' matches no variable"));
  EXPECT_TRUE(
      mentions(report.notes, file + ": 1 entry not restored, not requested in 'some.req': '/A/text'"));

  // Without a request file nothing is restored or written, and the one report says why.
  const std::string before = slurp(file);
  std::vector<std::string> told;
  SettingsStore none(file, SettingsRequest::read(dir.file("missing.req")));
  none.onProblemChange([&told](const std::string& p) { told.push_back(p); });
  Registry again;
  auto quiet = none.restore(again.reg);
  EXPECT_EQ(quiet.restored, 0U);
  EXPECT_TRUE(quiet.notes.empty());
  EXPECT_FALSE(again.pv("/A/gain").get().hasValue);
  const std::string why =
      "no request file '" + dir.file("missing.req") + "': no operator setting is saved or restored";
  EXPECT_EQ(none.problem(), why);
  again.pv("/A/gain").write(AnyVector(std::vector<double>{7}));
  EXPECT_TRUE(none.save(again.reg, error));
  EXPECT_TRUE(none.save(again.reg, error));
  EXPECT_EQ(slurp(file), before);
  EXPECT_EQ(told, std::vector<std::string>{why});
  EXPECT_FALSE(none.persists(again.pv("/A/gain").info()));

  TempDir folder;
  auto unreadable = SettingsRequest::read(folder.path.string());
  EXPECT_FALSE(unreadable.found());
  ASSERT_EQ(unreadable.problems().size(), 1U);
  EXPECT_NE(unreadable.problems()[0].find("is a directory"), std::string::npos);
}

TEST(Persistence, MissingFileIsAFirstStartAndOffMeansOff) {
  TempDir dir;
  Registry r;
  SettingsStore store(dir.file("none-yet"), everything());
  auto report = store.restore(r.reg);
  EXPECT_EQ(report.restored, 0u);
  EXPECT_TRUE(report.notes.empty());
  EXPECT_EQ(store.problem(), "");
  SettingsStore off("", everything());
  std::string error;
  EXPECT_TRUE(off.save(r.reg, error));
  EXPECT_EQ(off.restore(r.reg).restored, 0u);
  EXPECT_EQ(off.problem(), "");
}

TEST(Persistence, AFileOfAnotherKindIsSetAsideAsAWhole) {
  for (const std::string& text : {std::string("gain = 5\n"), std::string()}) {
    SCOPED_TRACE(text);
    TempDir dir;
    const std::string file = dir.file("settings");
    spit(file, text);
    Registry r;
    SettingsStore store(file, everything());
    auto report = store.restore(r.reg);
    EXPECT_EQ(report.restored, 0u);
    EXPECT_TRUE(mentions(report.notes,
                         text.empty() ? file + ": the file is empty" : file + ":1: not a settings file"));
    EXPECT_NE(report.setAsideAs.find(file + ".corrupt-"), std::string::npos);
    EXPECT_TRUE(mentions(report.notes, "kept as '" + report.setAsideAs + "'; nothing of it is used"));
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(slurp(report.setAsideAs), text);
  }
}

TEST(Persistence, FaultyEntriesAreReportedWithTheirLineAndTheRestIsUsed) {
  const std::string header = "# quellor settings v1\n";
  const std::string good = "/A/gain\tdouble\t1\t5\n";
  struct Case {
    const char* what;
    std::string line; // the third line of the file
    std::string note;
  };
  for (const auto& c : std::vector<Case>{
           {"count mismatch", "/A/table\tint32\t4\t1\t2\n",
            ":3: the count of '/A/table' says 4 elements, the line holds 2"},
           {"bad escape", "/A/text\tstring\t1\tbad\\q\n", ":3: bad escape in element 0 of '/A/text'"},
           {"unknown type", "/A/text\tcomplex\t1\t1\n", ":3: unknown type 'complex' for '/A/text'"},
           {"value does not convert", "/A/table\tint32\t1\tseven\n",
            ":3: the value of '/A/table' does not convert"},
           {"cut-off last line", "/A/table\tint32\t2\t1\t2", ":3: the line is incomplete"},
           {"missing fields", "/A/text\n", ":3: expected path, type and count"},
           {"duplicate", "/A/gain\tdouble\t1\t6\n", ":3: '/A/gain' was set on line 2 already"}}) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string file = dir.file("settings");
    const std::string text = header + good + c.line + (c.line.back() == '\n' ? "/A/big\tuint64\t1\t9\n" : "");
    spit(file, text);
    Registry r;
    SettingsStore store(file, everything());
    auto report = store.restore(r.reg);
    EXPECT_TRUE(mentions(report.notes, file + c.note)) << ::testing::PrintToString(report.notes);
    // Lines before and after the faulty one are used; the first of two equal paths wins.
    EXPECT_EQ(std::get<std::vector<double>>(r.pv("/A/gain").get().value)[0], 5.0);
    if (c.line.back() == '\n') {
      EXPECT_EQ(std::get<std::vector<uint64_t>>(r.pv("/A/big").get().value)[0], 9U);
    }
    // The faulty file is copied aside, the original stays until the next save replaces it.
    EXPECT_EQ(slurp(report.setAsideAs), text);
    EXPECT_EQ(slurp(file), text);
  }
}

TEST(Persistence, MessagesCutHugeValues) {
  TempDir dir;
  const std::string file = dir.file("settings");
  const std::string huge(std::size_t{10} * 1024 * 1024, 'x');
  spit(file, "# quellor settings v1\n/A/gain\tdouble\t1\t" + huge + "\n/A/big\tuint64\t" + huge + "\t1\n/" +
                 huge + "\tdouble\t1\t1\n");
  Registry r;
  SettingsStore store(file, everything());
  auto report = store.restore(r.reg);
  ASSERT_EQ(report.notes.size(), 4U) << ::testing::PrintToString(report.notes).substr(0, 2000);
  for (const auto& n : report.notes)
    EXPECT_LT(n.size(), 400U) << n.substr(0, 400);
  EXPECT_TRUE(mentions(report.notes, file + ":2: the value of '/A/gain' does not convert"));
  EXPECT_TRUE(mentions(report.notes, file + ":3: bad element count 'xxxx"));
  EXPECT_TRUE(mentions(report.notes, "...' (10485760 bytes) for '/A/big'"));
  EXPECT_TRUE(mentions(report.notes, "entry not restored, their variables are no longer served: '/xxx"));
}

TEST(Persistence, OnlyTheLastFewCopiesOfAFaultyFileAreKept) {
  TempDir dir;
  const std::string file = dir.file("settings");
  spit(file, "# quellor settings v1\n/A/gain\tdouble\t1\tfive\n");
  std::vector<std::string> made;
  for (size_t run = 0; run < SettingsStore::keptCopies + 2; ++run) {
    Registry r;
    SettingsStore store(file, everything());
    made.push_back(store.restore(r.reg).setAsideAs);
    EXPECT_FALSE(made.back().empty());
  }
  std::sort(made.begin(), made.end());
  EXPECT_EQ(corruptCopies(dir), std::vector<std::string>(made.end() - SettingsStore::keptCopies, made.end()));
}

TEST(Persistence, EntriesThatNoLongerFitAreSkippedWithANote) {
  TempDir dir;
  const std::string file = dir.file("settings");
  spit(file,
       "# quellor settings v1\n/A/gone\tdouble\t1\t1\n/A/readback\tdouble\t1\t2\n/A/gain\tdouble\t1\t3\n");
  Registry r;
  SettingsStore store(file, everything());
  auto report = store.restore(r.reg);
  EXPECT_EQ(report.restored, 1u);
  EXPECT_EQ(report.notes.size(), 2u);
  EXPECT_TRUE(
      mentions(report.notes, "1 entry not restored, their variables are no longer served: '/A/gone'"));
  EXPECT_TRUE(report.setAsideAs.empty());
  EXPECT_EQ(std::get<std::vector<double>>(r.pv("/A/gain").get().value)[0], 3.0);
}

TEST(Persistence, SaveReplacesTheFileAndReportsFailure) {
  TempDir dir;
  Registry r;
  const std::string file = dir.file("settings");
  SettingsStore store(file, everything());
  std::string error;
  r.pv("/A/gain").write(AnyVector(std::vector<double>{1}));
  ASSERT_TRUE(store.save(r.reg, error));
  r.pv("/A/gain").write(AnyVector(std::vector<double>{2}));
  ASSERT_TRUE(store.save(r.reg, error));
  EXPECT_NE(slurp(file).find("/A/gain\tdouble\t1\t2\n"), std::string::npos);
}

TEST(Persistence, AnUnwritableFileIsToldOnceAtStartAndWhenItRecovers) {
  TempDir dir;
  const std::string file = dir.file("not/yet/settings");
  SettingsStore store(file, everything());
  std::vector<std::string> told;
  store.onProblemChange([&told](const std::string& p) { told.push_back(p); });
  Registry r;
  (void)store.restore(r.reg);
  const std::string why =
      "cannot write '" + file + ".tmp' (No such file or directory): operator settings are not saved";
  EXPECT_EQ(store.problem(), why);
  std::string error;
  for (double v : {1.0, 2.0}) {
    r.pv("/A/gain").write(AnyVector(std::vector<double>{v}));
    EXPECT_FALSE(store.save(r.reg, error));
    EXPECT_EQ(error, why);
  }
  std::filesystem::create_directories(dir.file("not/yet"));
  EXPECT_TRUE(store.save(r.reg, error));
  EXPECT_EQ(told, (std::vector<std::string>{why, ""}));

  // A folder where the file should be is no empty file: nothing to restore, nothing can be saved.
  const std::string folder = dir.file("folder");
  std::filesystem::create_directories(folder);
  SettingsStore onFolder(folder, everything());
  auto report = onFolder.restore(r.reg);
  EXPECT_TRUE(mentions(report.notes, folder + ": is a directory, not a file; nothing is restored"));
  EXPECT_EQ(onFolder.problem(), "'" + folder + "' is a directory: operator settings are not saved");
  EXPECT_TRUE(std::filesystem::is_directory(folder));
}

} // namespace
