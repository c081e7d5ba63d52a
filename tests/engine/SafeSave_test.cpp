// The save never leaves a damaged or missing hosts file: every step of it is made to fail in
// turn, and each time the file is either the old one or the complete new one, its attributes are
// as before and no temporary file stays behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <system_error>
#include <utility>
#include <vector>

#include "TestFiles.h"
#include "VornLibFilesystem.h"
#include "uHosts.h"

using namespace testing_files;
namespace fs = std::filesystem;

namespace {

struct Fault {
  TFileStep Step;
  int Attempt;             // the attempt of that step that fails, from 1
  int64_t BytesBefore = 0; // for a write: bytes that still go through (-1: half of them)
};

// Installs a fault plan for its lifetime.
class FaultPlan {
public:
  FaultPlan(std::vector<Fault> faults, size_t newSize) : FFaults(std::move(faults)) {
    SetFileFaultHook([this, newSize](TFileStep step, int64_t& bytes) {
      const int attempt = ++FAttempts[step];
      if (FWatch)
        FWatch(step);
      if (FMeanwhile && step == FMeanwhileStep)
        std::exchange(FMeanwhile, nullptr)();
      for (const Fault& fault : FFaults)
        if (fault.Step == step && fault.Attempt == attempt) {
          bytes = fault.BytesBefore < 0 ? static_cast<int64_t>(newSize / 2) : fault.BytesBefore;
          return true;
        }
      return false;
    });
  }
  ~FaultPlan() { SetFileFaultHook(nullptr); }
  // Something another program does when the step is reached.
  void Meanwhile(TFileStep step, std::function<void()> action) {
    FMeanwhileStep = step;
    FMeanwhile = std::move(action);
  }
  // Something the test looks at whenever a step is reached.
  void Watch(std::function<void(TFileStep)> watch) { FWatch = std::move(watch); }
  FaultPlan(const FaultPlan&) = delete;
  FaultPlan& operator=(const FaultPlan&) = delete;

private:
  std::vector<Fault> FFaults;
  std::function<void(TFileStep)> FWatch;
  std::map<TFileStep, int> FAttempts;
  TFileStep FMeanwhileStep = TFileStep::Write;
  std::function<void()> FMeanwhile;
};

enum class Result { Saved, NotSaved, Raised };

// Appends as another program would; false when the file refuses it.
bool TryAppend(const fs::path& file, const std::string& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::app);
  out << bytes;
  out.close();
  return out.good();
}

const std::string Original = "# my own entries\r\n10.0.0.1 nas\r\n0.0.0.0 a\r\n0.0.0.0 b\r\n";
const std::string Saved = "10.0.0.1 nas\r\n0.0.0.0 a b\r\n";
const std::string Theirs = "10.0.0.9 theirs\r\n";

TEST(SafeSave, EveryFailingStepLeavesTheOldOrTheNewFile) {
#ifndef _WIN32
  // The rows save a read-only file, which only root may write on POSIX.
  if (!RunningAsRoot())
    GTEST_SKIP() << "only root may write a read-only file";
#endif
  struct Row {
    const char* Name;
    std::vector<Fault> Faults = {};
    Result Expected;
    bool NewContent = false; // the file holds the new bytes afterwards, else the old ones
    // Another program appends a line while the new bytes are written (at the flush, before the
    // last check), or at the given step, after it.
    bool OtherWriter = false;
    std::optional<TFileStep> WriterAfterCheck = {};
    // The other program saves a text of its own over the file (at that step) instead.
    bool WriterSavesOver = false;
    // A run killed before left its temporary file under the file's short name.
    bool Leftover = false;
    // The file's attributes are lifted while the bytes are written.
    bool Lifted = true;
  };
  using S = TFileStep;
  const std::vector<Row> rows = {
      {.Name = "no fault", .Expected = Result::Saved, .NewContent = true},
      {.Name = "no temporary file: written in place",
       .Faults = {{S::CreateTemporary, 1}},
       .Expected = Result::Saved,
       .NewContent = true},
      {.Name = "write fails at once", .Faults = {{S::Write, 1, 0}}, .Expected = Result::Raised},
      {.Name = "write fails half-way", .Faults = {{S::Write, 1, -1}}, .Expected = Result::Raised},
      {.Name = "flush fails", .Faults = {{S::Flush, 1}}, .Expected = Result::Raised},
      {.Name = "swap fails: written in place",
       .Faults = {{S::Replace, 1}},
       .Expected = Result::Saved,
       .NewContent = true},
      {.Name = "in place, no file beside for the old bytes: nothing written",
       .Faults = {{S::CreateTemporary, 1}, {S::CreateTemporary, 2}},
       .Expected = Result::NotSaved},
      {.Name = "in place, write fails half-way: old bytes back",
       .Faults = {{S::CreateTemporary, 1}, {S::Write, 2, -1}},
       .Expected = Result::Raised},
      {.Name = "in place, flush fails: old bytes back",
       .Faults = {{S::CreateTemporary, 1}, {S::Flush, 2}},
       .Expected = Result::Raised},
      {.Name = "in place, cannot open",
       .Faults = {{S::CreateTemporary, 1}, {S::OpenInPlace, 1}},
       .Expected = Result::NotSaved},
      {.Name = "swap fails, then the write in place fails",
       .Faults = {{S::Replace, 1}, {S::Write, 3, -1}},
       .Expected = Result::Raised},
      {.Name = "lifting the attributes fails: written anyway",
       .Faults = {{S::SetAttributes, 1}},
       .Expected = Result::Saved,
       .NewContent = true,
       .Lifted = false},
      {.Name = "restoring the attributes fails once",
       .Faults = {{S::SetAttributes, 2}},
       .Expected = Result::Saved,
       .NewContent = true},
      {.Name = "swap stops half-way: the new file moved in",
       .Faults = {{S::ReplaceHalfWay, 1}},
       .Expected = Result::Saved,
       .NewContent = true},
      {.Name = "swap stops half-way, new file stuck: the old one back, then written in place",
       .Faults = {{S::ReplaceHalfWay, 1}, {S::MoveBack, 1}},
       .Expected = Result::Saved,
       .NewContent = true},
      {.Name = "a temporary file a killed run left is cleared",
       .Expected = Result::Saved,
       .NewContent = true,
       .Leftover = true},
      {.Name = "in place, a temporary file a killed run left is cleared",
       .Faults = {{S::Replace, 1}},
       .Expected = Result::Saved,
       .NewContent = true,
       .Leftover = true},
#ifdef _WIN32
      // The guard's handle keeps other writers out until the swap.
      {.Name = "another writer is kept out",
       .Expected = Result::Saved,
       .NewContent = true,
       .OtherWriter = true},
#else
      {.Name = "another writer changes the file: nothing written",
       .Expected = Result::NotSaved,
       .OtherWriter = true},
      {.Name = "in place, another writer changes the file: nothing written",
       .Faults = {{S::CreateTemporary, 1}},
       .Expected = Result::NotSaved,
       .OtherWriter = true},
      {.Name = "another writer appends after the last check: swapped back, nothing written",
       .Expected = Result::NotSaved,
       .WriterAfterCheck = S::Replace},
      {.Name = "another program saves over the file after the last check: swapped back",
       .Expected = Result::NotSaved,
       .WriterAfterCheck = S::Replace,
       .WriterSavesOver = true},
      {.Name = "in place, another writer appends after the last check: nothing written",
       .Faults = {{S::CreateTemporary, 1}},
       .Expected = Result::NotSaved,
       .WriterAfterCheck = S::OpenInPlace},
#endif
      {.Name = "swap stops half-way, new file stuck, in-place write fails: the old bytes stay",
       .Faults = {{S::ReplaceHalfWay, 1}, {S::MoveBack, 1}, {S::Write, 3, -1}},
       .Expected = Result::Raised},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    TempFolder folder;
    const auto file = folder.File("hosts");
    WriteBytes(file, Original);
    const std::u16string name = folder.Name("hosts");
#ifdef _WIN32
    // Under Wine a read-only file is refused by the access check (Windows itself grants it), so
    // hidden and system stand in.
    const uint32_t extra = FileAttributeHidden | FileAttributeSystem;
#else
    const uint32_t extra = FileAttributeReadOnly;
#endif
    uint32_t plain = 0;
    ASSERT_TRUE(FileGetAttributes(name, plain));
    ASSERT_TRUE(FileSetAttributes(name, plain | extra));
    uint32_t before = 0;
    ASSERT_TRUE(FileGetAttributes(name, before));
    const auto permissionsBefore = fs::status(file).permissions();

    if (row.Leftover) {
      // As the program makes its own: no access for others.
      const fs::path leftover(NewSaveName(name, u".tmp"));
      WriteBytes(leftover, "half a file");
      fs::permissions(leftover, fs::perms::owner_read | fs::perms::owner_write);
    }

    TFileGuard guard(name);
    THosts hosts;
    ASSERT_EQ(hosts.LoadFromFile(name), 4);
    hosts.Optimize();
    hosts.SaveOptions().IncludeLocalhost = false;
    hosts.SaveOptions().LiftAttributes = true;
    Result result;
    const std::string late = "0.0.0.0 late\r\n";
    bool appended = false;
    std::vector<uint32_t> whileWritten; // the file's attributes at each write
    {
      FaultPlan plan(row.Faults, Saved.size());
      plan.Watch([&whileWritten, &name](TFileStep step) {
        uint32_t now = 0;
        if (step == TFileStep::Write && FileGetAttributes(name, now))
          whileWritten.push_back(now);
      });
      if (row.OtherWriter)
        plan.Meanwhile(TFileStep::Flush, [&] { appended = TryAppend(file, late); });
      if (row.WriterAfterCheck)
        plan.Meanwhile(*row.WriterAfterCheck, [&] {
          if (!row.WriterSavesOver) {
            appended = TryAppend(file, late);
            return;
          }
          // As an editor saves: a new file renamed over the old one.
          WriteBytes(folder.File("editor"), Theirs);
          fs::rename(folder.File("editor"), file);
        });
      try {
        result =
            hosts.SaveToFileGuarded(name, EncodingAnsi, &guard) ? Result::Saved : Result::NotSaved;
      } catch (const std::system_error&) {
        result = Result::Raised;
      }
    }
    EXPECT_EQ(result, row.Expected);
    EXPECT_TRUE(result != Result::Saved || !whileWritten.empty());
    for (const uint32_t now : whileWritten)
      EXPECT_EQ(now & (FileAttributeReadOnly | FileAttributeHidden | FileAttributeSystem),
                row.Lifted ? 0u : extra)
          << "while the bytes are written";
    const std::string lost = appended ? late : "";
    EXPECT_EQ(ReadBytes(file), row.NewContent        ? Saved
                               : row.WriterSavesOver ? Theirs
                                                     : Original + lost);
#ifdef _WIN32
    EXPECT_FALSE(appended) << "the guard lets no other writer in";
#endif
    uint32_t after = 0;
    ASSERT_TRUE(FileGetAttributes(name, after));
    if (!row.WriterSavesOver) {
      EXPECT_EQ(after, before);
      EXPECT_EQ(fs::status(file).permissions(), permissionsBefore);
    }
    EXPECT_EQ(FolderContent(folder.Path()), std::vector<std::string>{"hosts"})
        << "a temporary file stayed";
  }
}

TEST(SafeSave, ASwapStuckHalfWayKeepsBothCopies) {
  // Neither the new file nor the old one can go back under the file's name: the old bytes stay
  // under the backup name and the new ones in the temporary file; neither is deleted.
  TempFolder folder;
  WriteBytes(folder.File("hosts"), Original);
  FaultPlan plan(
      {{TFileStep::ReplaceHalfWay, 1}, {TFileStep::MoveBack, 1}, {TFileStep::MoveBack, 2}},
      Saved.size());
  EXPECT_FALSE(SaveFileSafely(folder.Name("hosts"), Saved));
  std::multiset<std::string> contents;
  for (const auto& entry : fs::directory_iterator(folder.Path()))
    contents.insert(ReadBytes(entry.path()));
  EXPECT_EQ(contents, (std::multiset<std::string>{Original, Saved}));
}

#ifndef _WIN32
TEST(SafeSave, AFileSwappedForALinkBeforeTheWriteInPlaceIsNotWritten) {
  // Another user turns the name into a link to a file of someone else's just before the file is
  // opened to be written in place: the link is not followed, the other file keeps its bytes.
  TempFolder folder;
  const auto file = folder.File("hosts");
  WriteBytes(file, Original);
  WriteBytes(folder.File("victim"), "secret");
  const std::u16string name = folder.Name("hosts");
  TFileGuard guard(name);
  THosts hosts;
  ASSERT_EQ(hosts.LoadFromFile(name), 4);
  hosts.Optimize();
  TSaveResult saved;
  {
    FaultPlan plan({{TFileStep::CreateTemporary, 1}}, Saved.size());
    plan.Meanwhile(TFileStep::OpenInPlace, [&] {
      fs::rename(file, folder.File("moved"));
      fs::create_symlink(folder.File("victim"), file);
    });
    saved = hosts.SaveToFileGuarded(name, EncodingAnsi, &guard);
  }
  EXPECT_FALSE(saved);
  EXPECT_EQ(ReadBytes(folder.File("victim")), "secret");
  EXPECT_EQ(ReadBytes(folder.File("moved")), Original);
  EXPECT_EQ(FolderContent(folder.Path()), (std::vector<std::string>{"hosts", "moved", "victim"}));
}
#endif

TEST(SafeSave, ANewFileIsCreatedWhole) {
  TempFolder folder;
  EXPECT_TRUE(SaveFileSafely(folder.Name("new"), "abc"));
  EXPECT_EQ(ReadBytes(folder.File("new")), "abc");
  EXPECT_EQ(FolderContent(folder.Path()), std::vector<std::string>{"new"});
}

#ifndef _WIN32
TEST(SafeSave, ALinkStaysALinkAndTheModeStays) {
  TempFolder folder;
  fs::create_directory(folder.File("real"));
  const auto target = folder.File("real") / "hosts";
  WriteBytes(target, Original);
  fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::create_symlink(target, folder.File("hosts"));
  THosts hosts;
  ASSERT_EQ(hosts.LoadFromFile(folder.Name("hosts")), 4);
  hosts.Optimize();
  hosts.SaveOptions().IncludeLocalhost = false;
  ASSERT_TRUE(hosts.SaveToFile(folder.Name("hosts"), EncodingAnsi));
  EXPECT_TRUE(fs::is_symlink(folder.File("hosts")));
  EXPECT_EQ(ReadBytes(target), Saved);
  EXPECT_EQ(fs::status(target).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(FolderContent(folder.File("real")), std::vector<std::string>{"hosts"});
}
#endif

} // namespace
