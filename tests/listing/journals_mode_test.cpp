#include "listing/journals_mode.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "files/file_layer.h"
#include "files/journal_list.h"
#include "files/test_hooks.h"
#include "interrupted_save.h"
#include "temp_folder.h"

namespace lbe::listing {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

using lbe::testing::HalfSaved;
using lbe::testing::kAcross;
using lbe::testing::kFormer;
using lbe::testing::kNew;
// Saved since by another program: a roll-back would undo that.
Bytes ChangedSince() {
  Bytes changed = HalfSaved();
  changed[4097] = 'Q';
  changed.push_back('+');
  return changed;
}

std::string TextOf(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  for (int c; (c = std::fgetc(file)) != EOF;) {
    text += static_cast<char>(c);
  }
  return text;
}

// A terminal for standard input, with `typed` typed on it already.
class TypedTerminal {
 public:
  explicit TypedTerminal(const std::string& typed) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master_, 0);
    EXPECT_EQ(::grantpt(master_), 0);
    EXPECT_EQ(::unlockpt(master_), 0);
    const int slave = ::open(::ptsname(master_), O_RDWR | O_NOCTTY);
    EXPECT_GE(slave, 0);
    EXPECT_EQ(::write(master_, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    in_ = ::fdopen(slave, "r");
  }
  ~TypedTerminal() {
    std::fclose(in_);
    ::close(master_);
  }
  TypedTerminal(const TypedTerminal&) = delete;
  TypedTerminal& operator=(const TypedTerminal&) = delete;
  std::FILE* In() const { return in_; }

 private:
  int master_ = -1;
  std::FILE* in_ = nullptr;
};

struct Outcome {
  int Status = 0;
  std::string Out;
  std::string Err;
};

class JournalsCommand : public ::testing::Test {
 protected:
  void TearDown() override { files::SetFileCallHook(nullptr); }

  // An interrupted save of "file.bin", the file then as `after` leaves it: the journal's name.
  static std::string Interrupted(const Bytes& after) {
    lbe::testing::PutFile("file.bin", kFormer);
    lbe::testing::InterruptSave("file.bin", kAcross, kNew, HalfSaved());
    lbe::testing::PutFile("file.bin", after);
    return lbe::testing::OnlyStateJournal();
  }
  static Outcome Command(const JournalsRequest& request, std::FILE* in = nullptr) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    std::FILE* input = in != nullptr ? in : std::tmpfile();
    Outcome run;
    run.Status = JournalsMode(request, input, out, err);
    run.Out = TextOf(out);
    run.Err = TextOf(err);
    std::fclose(out);
    std::fclose(err);
    if (in == nullptr) {
      std::fclose(input);
    }
    return run;
  }
  std::string State(const std::string& name) const { return folder_.Full("state/lbe/" + name); }
  // `text` with J for the journal `name`'s path and F for the file's, in one pass: a path put in
  // may itself hold a J or an F.
  std::string Filled(const std::string& text, const std::string& name) const {
    std::string out;
    for (const char letter : text) {
      out += letter == 'J'   ? State(name)
             : letter == 'F' ? folder_.Full("file.bin")
                             : std::string(1, letter);
    }
    return out;
  }

  lbe::testing::TemporaryWorkingFolder folder_;
  lbe::testing::OwnHomeInFolder home_{folder_};
};

TEST_F(JournalsCommand, ListsEachJournalOnALine) {
  const Outcome none = Command({});
  EXPECT_EQ(none.Status, 0);
  EXPECT_EQ(none.Out, "No journal is waiting.\n");
  const std::string journal = Interrupted(HalfSaved());
  fs::create_directories("state/lbe");
  lbe::testing::PutFile("state/lbe/1-2.lbe-journal.set-aside.3", {'x'});
  const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
  const timespec twoDays[2] = {{now - 2 * 24 * 3600 - 600, 0}, {now - 2 * 24 * 3600 - 600, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, State(journal).c_str(), twoDays, 0), 0);
  const Outcome run = Command({});
  EXPECT_EQ(run.Status, 0);
  EXPECT_EQ(run.Out, State("1-2.lbe-journal.set-aside.3") +
                         "\tfor (path not read)\t1 byte\tless than an hour old\tcannot be "
                         "trusted: it is not a journal of lbe\n" +
                         State(journal) + "\tfor " + folder_.Full("file.bin") +
                         "\t4104 bytes\t2 days old\tits file is there: open it in lbe to settle "
                         "it\n");
  EXPECT_EQ(run.Err, "");
}

TEST_F(JournalsCommand, LinesSayAgeAndWhy) {
  const struct {
    std::int64_t age;
    files::JournalStanding standing;
    std::string detail;
    std::string filePath;
    std::string line;
  } cases[] = {
      {59 * 60, files::JournalStanding::FileMissing, "", "/srv/a.bin",
       "J\tfor /srv/a.bin\t7 bytes\tless than an hour old\tits file is not at that path"},
      {3600, files::JournalStanding::OtherFile, "", "/srv/a.bin",
       "J\tfor /srv/a.bin\t7 bytes\t1 hour old\tthat path now names another file"},
      {24 * 3600 - 1, files::JournalStanding::SetAside, "", "/srv/a\tb.bin",
       "J\tfor /srv/a?b.bin\t7 bytes\t23 hours old\tset aside: kept for you to look at"},
      {24 * 3600, files::JournalStanding::NoPath, "", "",
       "J\tfor (path not recorded)\t7 bytes\t1 day old\tno path was recorded: open its file in "
       "lbe to settle it"},
      {31 * 24 * 3600, files::JournalStanding::SetAsideNow, "", "/srv/a.bin",
       "J\tfor /srv/a.bin\t7 bytes\t31 days old\tits file is not at that path, and it is over 30 "
       "days old: set aside now as unclaimed, and still put back when its file is loaded"},
      {40 * 24 * 3600, files::JournalStanding::Unclaimed, "", "/srv/a.bin",
       "J\tfor /srv/a.bin\t7 bytes\t40 days old\tits file is not at that path: unclaimed for "
       "over 30 days, and still put back when its file is loaded"},
      {-5, files::JournalStanding::NotLookedAt, "on a network file system", "/net/a.bin",
       "J\tfor /net/a.bin\t7 bytes\tless than an hour old\tnot looked at: on a network file "
       "system"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    files::ListedJournal journal;
    journal.Path = "J";
    journal.HeaderRead = true;
    journal.FilePath = c.filePath;
    journal.Size = 7;
    journal.AgeSeconds = c.age;
    journal.Standing = c.standing;
    journal.Detail = c.detail;
    EXPECT_EQ(JournalLine(journal), c.line);
  }
}

// A journal goes only at the user's word, and never while it can still put its file back.
TEST_F(JournalsCommand, RemoveTakesOnlyWhatCannotBeRolledBack) {
  files::FileDescriptor held(-1);  // another lbe's hold on the file
  const struct {
    const char* label;
    std::function<void(const std::string& journal)> prepare;
    std::function<std::string(const std::string& journal)> name;  // as typed
    int status;
    std::string out;  // J: the journal's path, F: the file's
    std::string err;
  } cases[] = {
      {"its file gone", [](const std::string&) { fs::remove("file.bin"); },
       [](const std::string& j) { return j; }, 0, "Removed the journal J of F.\n", ""},
      {"its file changed since, named by its path",
       [](const std::string&) { lbe::testing::PutFile("file.bin", ChangedSince()); },
       [](const std::string& j) { return "state/lbe/" + j; }, 0, "Removed the journal J of F.\n",
       ""},
      {"its file as the save left it", [](const std::string&) {},
       [](const std::string& j) { return j; }, 1, "",
       "lbe: J can still put back F, which is as its interrupted save left it: open F in lbe to "
       "have it rolled back; nothing was removed\n"},
      {"set aside, its file still fitting",
       [](const std::string& j) { fs::rename("state/lbe/" + j, "state/lbe/" + j + ".set-aside"); },
       [](const std::string& j) { return j + ".set-aside"; }, 1, "",
       "lbe: J.set-aside can still put back F, which is as its interrupted save left it: put it "
       "back with lbe --journals --apply=J.set-aside; nothing was removed\n"},
      {"its file being saved by another lbe",
       [&held](const std::string&) {
         held.Reset(::open("file.bin", O_RDONLY));
         ASSERT_EQ(::flock(held.Get(), LOCK_EX), 0);
         lbe::testing::PutFile("file.bin", ChangedSince());
       },
       [](const std::string& j) { return j; }, 1, "",
       "lbe: F is being saved by another lbe, whose journal this may be; nothing was removed\n"},
      {"writable by others",
       [](const std::string& j) {
         fs::remove("file.bin");
         fs::permissions("state/lbe/" + j, fs::perms::others_write, fs::perm_options::add);
       },
       [](const std::string& j) { return j; }, 1, "",
       "lbe: J is no journal lbe can trust (others may write it): nothing was removed\n"},
      {"no journal's name", [](const std::string&) {},
       [](const std::string&) { return std::string("file.bin"); }, 1, "",
       "lbe: file.bin is not a journal's name (NAME.lbe-journal, or set aside "
       "NAME.lbe-journal.set-aside)\n"},
      {"no such journal", [](const std::string&) {},
       [](const std::string&) { return std::string("1-2.lbe-journal"); }, 1, "",
       "lbe: there is no journal 1-2.lbe-journal in the state folders\n"},
      {"a journal's name outside the state folders",
       [](const std::string&) { lbe::testing::PutFile("x.lbe-journal", {1}); },
       [](const std::string&) { return std::string("./x.lbe-journal"); }, 1, "",
       "lbe: there is no journal ./x.lbe-journal in a state folder of lbe's\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    held.Reset(-1);
    fs::remove_all("state");
    fs::remove_all("file.bin");
    const std::string journal = Interrupted(HalfSaved());
    c.prepare(journal);
    const std::string named = c.name(journal);
    const auto filled = [&](const std::string& text) { return Filled(text, journal); };
    const Outcome run = Command({named, std::nullopt, std::nullopt});
    EXPECT_EQ(run.Status, c.status);
    EXPECT_EQ(run.Out, filled(c.out));
    EXPECT_EQ(run.Err, filled(c.err));
    const bool kept =
        fs::exists(fs::symlink_status(State(journal))) || fs::exists(State(journal + ".set-aside"));
    EXPECT_EQ(kept, c.status != 0);
  }
}

// The former bytes go back only into the journal's own file, only when the user types y on the
// terminal, and the journal goes with them.
TEST_F(JournalsCommand, ApplyPutsBackOnlyAtTheUsersWord) {
  files::FileDescriptor held(-1);  // another lbe's hold on the file
  const std::string asked =
      "The journal J puts back what a save of F overwrote:\n"
      "3 bytes in 2 stretches change back, and its length goes from 8193 to 8192 bytes.\n"
      "Put these bytes back? (y/N) ";
  const struct {
    const char* label;
    std::string typed;  // on the terminal; "-": standard input is no terminal
    std::optional<std::string> fileName;
    std::function<void()> prepare;
    int status;
    std::string out;
    std::string err;
    bool putBack;
  } cases[] = {
      {"yes", "y\n", std::nullopt, [] {}, 0,
       asked + "Put back 3 bytes in 2 stretches of F, now 8192 bytes long, and removed the "
               "journal J.\n",
       "", true},
      {"no", "n\n", std::nullopt, [] {}, 1, asked + "Nothing was put back.\n", "", false},
      {"just Enter", "\n", std::nullopt, [] {}, 1, asked + "Nothing was put back.\n", "", false},
      {"no answer", "\x04", std::nullopt, [] {}, 1, asked + "\nNothing was put back.\n", "", false},
      {"not a terminal", "-", std::nullopt, [] {}, 1, asked.substr(0, asked.find("Put these")),
       "lbe: standard input is not a terminal to answer on: nothing was put back\n", false},
      {"its file moved, named after it", "Y\n", "moved.bin",
       [] { fs::rename("file.bin", "moved.bin"); }, 0,
       "The journal J puts back what a save of moved.bin overwrote:\n"
       "3 bytes in 2 stretches change back, and its length goes from 8193 to 8192 bytes.\n"
       "Put these bytes back? (y/N) Put back 3 bytes in 2 stretches of moved.bin, now 8192 "
       "bytes long, and removed the journal J.\n",
       "", true},
      {"its file moved, not named", "y\n", std::nullopt,
       [] { fs::rename("file.bin", "moved.bin"); }, 1, "",
       "lbe: 指定されたファイルが見つかりません \n[F]\n", false},
      {"another file named", "y\n", "other.bin",
       [] { lbe::testing::PutFile("other.bin", ChangedSince()); }, 1, "",
       "lbe: other.bin is not the file J was made for; nothing was put back\n", false},
      {"its file held by another lbe", "y\n", std::nullopt,
       [&held] {
         held.Reset(::open("file.bin", O_RDONLY));
         ASSERT_EQ(::flock(held.Get(), LOCK_SH), 0);
       },
       1, "", "lbe: F is held by another lbe; nothing was put back\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all("state");
    fs::remove_all("file.bin");
    fs::remove_all("moved.bin");
    held.Reset(-1);
    const std::string journal = Interrupted(ChangedSince());
    const std::string aside = journal + ".set-aside";
    fs::rename("state/lbe/" + journal, "state/lbe/" + aside);
    c.prepare();
    const auto filled = [&](const std::string& text) { return Filled(text, aside); };
    std::optional<TypedTerminal> terminal;
    if (c.typed != "-") {
      terminal.emplace(c.typed);
    }
    const Outcome run =
        Command({std::nullopt, aside, c.fileName}, terminal ? terminal->In() : nullptr);
    EXPECT_EQ(run.Status, c.status);
    EXPECT_EQ(run.Out, filled(c.out));
    EXPECT_EQ(run.Err, filled(c.err));
    const std::string file = fs::exists("moved.bin") ? "moved.bin" : "file.bin";
    EXPECT_EQ(lbe::testing::GetFile(file), c.putBack ? kFormer : ChangedSince());
    EXPECT_EQ(fs::exists(State(aside)), !c.putBack);
  }
}

}  // namespace
}  // namespace lbe::listing
