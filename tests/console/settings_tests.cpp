// The settings file reader/writer (TIniFile, TScratchList) and the safe file writes.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "console/IniFile.h"
#include "console/OperatorAccounts.h"
#include "console/SafeFile.h"
#include "console/SettingsFile.h"
#include "support/TestFiles.h"

namespace fs = std::filesystem;

namespace {

// A fresh folder per test, removed afterwards.
class TempDirTest : public ::testing::Test {
  protected:
    std::vector<std::string> FileNames() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    TempDir temp_{"quarn-settings"};
    const fs::path dir_{temp_.Path()};
};

const char* kSample =
    "[Channels]\r\n"
    "#Lobby_One=First lobby\r\n"
    ";semi=starts with a semicolon\r\n"
    "#eq=a=b=c\r\n"
    "\r\n"
    "[PrivateChannels]\n"
    "#Secret=hidden\n"
    "[Options]\r\n"
    "AutoSave=1\r\n"
    "AllowCreate=0\r\n";

}  // namespace

// ---- Parsing ----

TEST(IniParse, KeysMayStartWithHashOrSemicolonAndValuesKeepEquals) {
    // Lobby names start with "#", so neither "#" nor ";" may be taken for a comment, and
    // a value is everything after the first "=".
    TIniFile ini = TIniFile::Parse(kSample);
    EXPECT_EQ(ini.ReadSection("Channels"), (TIniEntries{{"#Lobby_One", "First lobby"},
                                                        {";semi", "starts with a semicolon"},
                                                        {"#eq", "a=b=c"}}));
    EXPECT_EQ(ini.ReadString("PrivateChannels", "#Secret"), "hidden");
}

TEST(IniParse, KeysAndSectionsIgnoreAsciiCase) {
    // "AUTOSAVE" in "[options]" finds "AutoSave" in "[Options]".
    TIniFile ini = TIniFile::Parse(kSample);
    EXPECT_EQ(ini.ReadString("options", "AUTOSAVE"), "1");
    EXPECT_EQ(ini.ReadString("CHANNELS", "#lobby_one"), "First lobby");
    EXPECT_TRUE(ini.SectionExists("privatechannels"));
    EXPECT_FALSE(ini.SectionExists("Private"));
    EXPECT_EQ(ini.ReadString("Options", "Missing"), std::nullopt);
    EXPECT_EQ(ini.ReadString("Options", "Missing", "dflt"), "dflt");
}

TEST(IniParse, LineEndsAndBlanksAroundKeys) {
    // CR LF and LF lines both work, blanks around keys and headers are ignored, the value
    // keeps its own blanks, and a last line without a line end still counts.
    TIniFile ini = TIniFile::Parse("  [ Options ]  \r\n  AutoSave  =  1 \nLast=x");
    EXPECT_EQ(ini.ReadString("Options", "AutoSave"), "  1 ");
    EXPECT_EQ(ini.ReadString("Options", "Last"), "x");
}

TEST(IniParse, LinesOutsideTheRulesAreNotEntries) {
    // Entries before the first section, lines without "=", and "=value" with no key are
    // not entries of any section.
    TIniFile ini = TIniFile::Parse("stray=1\n[S]\njunk line\n=novalue\nk=v\n");
    EXPECT_EQ(ini.ReadSection("S"), (TIniEntries{{"k", "v"}}));
    EXPECT_FALSE(ini.SectionExists(""));
}

TEST(IniParse, DuplicateKeysAndSectionsUseTheFirst) {
    // A key listed twice reads as its first value and appears once in ReadSection.
    TIniFile ini = TIniFile::Parse("[A]\nk=1\nK=2\n[a]\nk=3\nother=4\n");
    EXPECT_EQ(ini.ReadSection("A"), (TIniEntries{{"k", "1"}}));
    EXPECT_EQ(ini.ReadString("a", "k"), "1");
    EXPECT_EQ(ini.ReadString("a", "other"), std::nullopt);
}

// ---- Booleans ----

TEST(IniBool, WholeNumbersDecimalAndHex) {
    // Any number but 0 is on; hexadecimal after 0x/0X; blanks around the number ignored.
    TIniFile ini = TIniFile::Parse(
        "[O]\none=1\nzero=0\nhex=0x10\nhexzero=0X0\nneg=-1\nspaced= 2 \nbig=2147483647\n"
        "hexcaps=0XfF\n");
    EXPECT_TRUE(ini.ReadBool("O", "one", false));
    EXPECT_FALSE(ini.ReadBool("O", "zero", true));
    EXPECT_TRUE(ini.ReadBool("O", "hex", false));
    EXPECT_FALSE(ini.ReadBool("O", "hexzero", true));
    EXPECT_TRUE(ini.ReadBool("O", "neg", false));
    EXPECT_TRUE(ini.ReadBool("O", "spaced", false));
    EXPECT_TRUE(ini.ReadBool("O", "big", false));
    EXPECT_TRUE(ini.ReadBool("O", "hexcaps", false));
}

TEST(IniBool, GarbageGivesTheDefault) {
    // Text that is not a whole number, empty, cut-off hex or out of 32 bits gives the
    // default in both directions, as does a missing key.
    TIniFile ini = TIniFile::Parse(
        "[O]\nword=yes\nempty=\nhalf=0x\nbadhex=0xZ1\nmixed=1a\ninner=1 0\nhuge=99999999999\n"
        "hugehex=0x100000000\nsign=-\n");
    for (const char* key :
         {"word", "empty", "half", "badhex", "mixed", "inner", "huge", "hugehex", "sign", "none"}) {
        EXPECT_TRUE(ini.ReadBool("O", key, true)) << key;
        EXPECT_FALSE(ini.ReadBool("O", key, false)) << key;
    }
}

TEST(IniBool, WrittenAsOneAndZero) {
    // WriteBool stores "1"/"0", which ReadBool reads back.
    TIniFile ini;
    ini.WriteBool("Options", "AutoSave", true);
    ini.WriteBool("Options", "AllowCreate", false);
    EXPECT_EQ(ini.ReadString("Options", "AutoSave"), "1");
    EXPECT_EQ(ini.ReadString("Options", "AllowCreate"), "0");
    EXPECT_EQ(ini.Serialize(), "[Options]\r\nAutoSave=1\r\nAllowCreate=0\r\n");
}

// ---- Writing ----

TEST(IniWrite, ExistingKeyIsReplacedInPlace) {
    // Rewriting a key in another case keeps the line where it was and its spelling.
    TIniFile ini = TIniFile::Parse("[Options]\nAutoSave=0\nAllowCreate=1\n");
    ini.WriteString("OPTIONS", "autosave", "1");
    EXPECT_EQ(ini.Serialize(), "[Options]\r\nAutoSave=1\r\nAllowCreate=1\r\n");
}

TEST(IniWrite, NewKeyGoesAfterTheLastEntryOfItsSection) {
    // A new key lands in its own section, before the blank line that separates the next.
    TIniFile ini = TIniFile::Parse("[Channels]\n#a=1\n\n[Options]\nAutoSave=0\n");
    ini.WriteString("Channels", "#b", "2");
    ini.WriteString("New", "k", "v");
    EXPECT_EQ(ini.Serialize(),
              "[Channels]\r\n#a=1\r\n#b=2\r\n\r\n[Options]\r\nAutoSave=0\r\n[New]\r\nk=v\r\n");
}

TEST(IniWrite, EraseSectionRemovesOnlyThatSection) {
    // Save Lobby List drops both lobby sections and keeps the options and other lines.
    TIniFile ini = TIniFile::Parse(std::string("; kept\n") + kSample + "[channels]\n#dup=x\n");
    ini.EraseSection("Channels");
    ini.EraseSection("PRIVATECHANNELS");
    EXPECT_FALSE(ini.SectionExists("Channels"));
    EXPECT_FALSE(ini.SectionExists("PrivateChannels"));
    EXPECT_EQ(ini.Serialize(), "; kept\r\n[Options]\r\nAutoSave=1\r\nAllowCreate=0\r\n");
}

TEST(IniWrite, UnstorableKeysAreRefusedAndValuesStayOneLine) {
    // A key with "=" or a line break would read back as something else, so it is refused;
    // line breaks in a value become blanks.
    TIniFile ini;
    EXPECT_THROW(ini.WriteString("S", "a=b", "v"), std::invalid_argument);
    EXPECT_THROW(ini.WriteString("S", "a\nb", "v"), std::invalid_argument);
    EXPECT_THROW(ini.WriteString("S", "  ", "v"), std::invalid_argument);
    EXPECT_THROW(ini.WriteString("S]", "k", "v"), std::invalid_argument);
    EXPECT_FALSE(ini.SectionExists("S"));
    ini.WriteString("S", "#[x]", "line\r\nbreak\n");
    TIniFile back = TIniFile::Parse(ini.Serialize());
    EXPECT_EQ(back.ReadSection("S"), (TIniEntries{{"#[x]", "line  break "}}));
}

// ---- Round trip ----

TEST(IniRoundTrip, ContentSurvivesSerialising) {
    // Serialise and parse again: same entries, unknown lines kept, and the bytes are
    // stable from the second serialisation on.
    const std::string text = std::string("junk at top\n") + kSample + "no equals here\n[E]\n";
    TIniFile first = TIniFile::Parse(text);
    const std::string once = first.Serialize();
    TIniFile second = TIniFile::Parse(once);
    EXPECT_EQ(second.Serialize(), once);
    for (const char* section : {"Channels", "PrivateChannels", "Options", "E"})
        EXPECT_EQ(second.ReadSection(section), first.ReadSection(section)) << section;
    EXPECT_NE(once.find("junk at top\r\n"), std::string::npos);
    EXPECT_NE(once.find("no equals here\r\n"), std::string::npos);
    EXPECT_TRUE(second.SectionExists("E"));
}

// ---- Scratch list of LoadLobbies ----

TEST(ScratchList, ChannelsThenPrivateChannels) {
    // The merge of both sections: empty values remove, a key in both sections keeps the
    // first spelling and place with the private value, new private keys are appended.
    TIniFile ini = TIniFile::Parse(
        "[Channels]\n#Pub=public\n#Gone=\n#Both=from channels\n#Later=x\n"
        "[PrivateChannels]\n#BOTH=from private\n#Priv=private\n#later=\n#Empty=\n");
    TScratchList scratch;
    scratch.Merge(ini.ReadSection("Channels"));
    EXPECT_EQ(scratch.Entries,
              (TIniEntries{{"#Pub", "public"}, {"#Both", "from channels"}, {"#Later", "x"}}));
    scratch.Merge(ini.ReadSection("PrivateChannels"));
    EXPECT_EQ(scratch.Entries,
              (TIniEntries{{"#Pub", "public"}, {"#Both", "from private"}, {"#Priv", "private"}}));
}

TEST(ScratchList, EmptyValueRemovesAnEarlierEntry) {
    // Within one section too, a later empty value removes the entry made earlier.
    TScratchList scratch;
    scratch.Merge({{"#a", "1"}, {"#b", "2"}, {"#A", ""}, {"#c", ""}});
    EXPECT_EQ(scratch.Entries, (TIniEntries{{"#b", "2"}}));
}

// ---- Files ----

class IniFileOnDisk : public TempDirTest {};

TEST_F(IniFileOnDisk, MissingFileIsEmptyAndAFolderIsAnError) {
    // A first start has no settings file; a folder in its place is reported.
    TIniFile ini = TIniFile::Load((dir_ / "kelbox.ini").string());
    EXPECT_FALSE(ini.SectionExists("Channels"));
    EXPECT_EQ(ini.Serialize(), "");
    EXPECT_THROW(TIniFile::Load(dir_.string()), ESafeFileError);
}

TEST_F(IniFileOnDisk, SaveAndLoad) {
    // Save writes CR LF lines that Load reads back, and leaves only the file itself.
    const fs::path path = dir_ / "kelbox.ini";
    TIniFile ini;
    ini.WriteString("Channels", "#Report_Problems", "Messages in here");
    ini.WriteBool("Options", "AutoSave", false);
    ini.Save(path.string());
    EXPECT_EQ(ReadFile(path),
              "[Channels]\r\n#Report_Problems=Messages in here\r\n"
              "[Options]\r\nAutoSave=0\r\n");
    EXPECT_EQ(TIniFile::Load(path.string()).ReadString("channels", "#REPORT_PROBLEMS"),
              "Messages in here");
    EXPECT_EQ(FileNames(), std::vector<std::string>{"kelbox.ini"});
}

class SafeFile : public TempDirTest {};

TEST_F(SafeFile, ReplacesContentAndKeepsPermissions) {
    // The new bytes replace the old ones entirely; the file's mode survives the rename.
    const fs::path path = dir_ / "kelbox.ini";
    WriteFile(path, "old content that is longer than the new one");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    WriteFileAtomic(path.string(), "new");
    EXPECT_EQ(ReadFile(path), "new");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(FileNames(), std::vector<std::string>{"kelbox.ini"});
}

TEST_F(SafeFile, SecretModeIsExactWhateverTheUmaskAndTheOldMode) {
    // A secret gets 0640 even over a world-readable file and with an empty umask.
    const fs::path path = dir_ / "operators.ini";
    WriteFile(path, "old");
    ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
    const mode_t old = ::umask(0);
    WriteFileAtomic(path.string(), "secret", 0640);
    WriteFileAtomic((dir_ / "new.pem").string(), "secret", 0640);
    ::umask(old);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ASSERT_EQ(::stat((dir_ / "new.pem").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

class OperatorAccountsFile : public TempDirTest {};

TEST_F(OperatorAccountsFile, PasswordsAreHashedCheckedAndChanged) {
    // An account verifies with its password only; setting it again changes password and
    // role; unknown names, wrong passwords and removed accounts are refused alike.
    TOperatorAccounts accounts = TOperatorAccounts::InDir(dir_.string());
    EXPECT_FALSE(accounts.AnyAccount());
    accounts.SetPassword("alice", "first secret", TOperatorRole::Operator);
    accounts.SetPassword("vera", "other", TOperatorRole::Viewer);
    const std::vector<TOperatorAccount> loaded = accounts.Load();
    ASSERT_EQ(loaded.size(), 2u);
    EXPECT_TRUE(loaded[0].Hash.starts_with("$y$"));
    EXPECT_EQ(ReadFile(dir_ / "operators.ini").find("first secret"), std::string::npos);
    EXPECT_EQ(accounts.Verify("alice", "first secret"), TOperatorRole::Operator);
    EXPECT_EQ(accounts.Verify("vera", "other"), TOperatorRole::Viewer);
    EXPECT_EQ(accounts.Verify("alice", "first secreT"), std::nullopt);
    EXPECT_EQ(accounts.Verify("nobody", "first secret"), std::nullopt);

    accounts.SetPassword("alice", "second", TOperatorRole::Viewer);
    EXPECT_EQ(accounts.Verify("alice", "first secret"), std::nullopt);
    EXPECT_EQ(accounts.Verify("alice", "second"), TOperatorRole::Viewer);
    EXPECT_TRUE(accounts.Remove("alice"));
    EXPECT_EQ(accounts.Verify("alice", "second"), std::nullopt);
    EXPECT_FALSE(accounts.Remove("alice"));

    EXPECT_THROW(accounts.SetPassword("bad name", "x", TOperatorRole::Viewer),
                 std::invalid_argument);
    EXPECT_THROW(accounts.SetPassword("bob", "", TOperatorRole::Viewer), std::invalid_argument);
    // Two salts: the same password never gives the same hash.
    EXPECT_NE(TOperatorAccounts::HashPassword("same"), TOperatorAccounts::HashPassword("same"));
}

TEST_F(SafeFile, MissingFolderThrowsThePlatformText) {
    // The error carries the platform's text alone and its code.
    try {
        WriteFileAtomic((dir_ / "nope" / "kelbox.ini").string(), "x");
        FAIL() << "no exception";
    } catch (const ESafeFileError& e) {
        EXPECT_STREQ(e.what(), "No such file or directory");
        EXPECT_EQ(e.ErrorCode(), ENOENT);
    }
}

TEST_F(SafeFile, UnwritableFolderLeavesOldFileIntact) {
    // A folder without write permission refuses the temporary; the old file stays.
    if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
    const fs::path path = dir_ / "kelbox.ini";
    WriteFile(path, "old");
    ASSERT_EQ(::chmod(dir_.c_str(), 0555), 0);
    TIniFile ini;
    ini.WriteString("S", "k", "v");
    EXPECT_THROW(
        {
            try {
                ini.Save(path.string());
            } catch (const ESafeFileError& e) {
                EXPECT_STREQ(e.what(), "Permission denied");
                throw;
            }
        },
        ESafeFileError);
    ::chmod(dir_.c_str(), 0755);
    EXPECT_EQ(ReadFile(path), "old");
    EXPECT_EQ(FileNames(), std::vector<std::string>{"kelbox.ini"});
}

TEST_F(SafeFile, FailedWriteLeavesOldFileAndNoTemporary) {
    // A write that fails half-way (here: over the file size limit, which binds root too)
    // throws, removes the temporary and leaves the old file as it was.
    const fs::path path = dir_ / "kelbox.ini";
    WriteFile(path, "old");
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 16;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    int code = 0;
    try {
        WriteFileAtomic(path.string(), std::string(100, 'x'));
    } catch (const ESafeFileError& e) {
        code = e.ErrorCode();
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(code, EFBIG);
    EXPECT_EQ(ReadFile(path), "old");
    EXPECT_EQ(FileNames(), std::vector<std::string>{"kelbox.ini"});
}

TEST_F(SafeFile, RenameFailureRemovesTheTemporary) {
    // A folder in the file's place makes the final rename fail; nothing is left over.
    const fs::path path = dir_ / "kelbox.ini";
    fs::create_directory(path);
    WriteFile(path / "inside", "keep");
    EXPECT_THROW(WriteFileAtomic(path.string(), "x"), ESafeFileError);
    EXPECT_EQ(FileNames(), std::vector<std::string>{"kelbox.ini"});
    EXPECT_EQ(ReadFile(path / "inside"), "keep");
}

TEST_F(SafeFile, AppendAddsCrLfLines) {
    // Each append adds one line with CR LF, creating the file first.
    const fs::path path = dir_ / "report.txt";
    AppendLineDurably(path.string(), "first");
    AppendLineDurably(path.string(), "");
    AppendLineDurably(path.string(), "third");
    EXPECT_EQ(ReadFile(path), "first\r\n\r\nthird\r\n");
    EXPECT_THROW(AppendLineDurably((dir_ / "no" / "r.txt").string(), "x"), ESafeFileError);
}

TEST_F(SafeFile, ConcurrentAppendsNeverInterleave) {
    // Four threads append long lines at once; every line arrives whole.
    const fs::path path = dir_ / "report.txt";
    constexpr int kThreads = 4, kLines = 200, kLength = 3000;
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                const std::string line(kLength, static_cast<char>('a' + t));
                for (int i = 0; i < kLines; ++i) AppendLineDurably(path.string(), line);
            });
    }
    std::istringstream in(ReadFile(path));
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        ASSERT_EQ(line.size(), static_cast<size_t>(kLength) + 1);
        ASSERT_EQ(line.back(), '\r');
        ASSERT_EQ(line.find_first_not_of(line[0]), static_cast<size_t>(kLength));
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

// kelbox.ini's one writer: a snapshot older than one already written is not written, and
// the two parts of the file never undo each other, also when written from many threads.
TEST_F(TempDirTest, SettingsFileKeepsTheLatestSnapshotOfEachPart) {
    using TPart = TSettingsFile::TPart;
    TSettingsFile settings((dir_ / "kelbox.ini").string());
    auto lobbies = [](const std::string& description) {
        return [description](TIniFile& ini) {
            ini.EraseSection("Channels");
            ini.WriteString("Channels", "#a", description);
        };
    };
    const auto older = settings.Ticket(TPart::Lobbies);
    const auto newer = settings.Ticket(TPart::Lobbies);
    settings.Write(TPart::Lobbies, newer, lobbies("newer"));
    settings.Write(TPart::Lobbies, older, lobbies("older"));
    settings.Write(TPart::Options, settings.Ticket(TPart::Options),
                   [](TIniFile& ini) { ini.WriteBool("Options", "AutoSave", true); });
    EXPECT_EQ(ReadFile(settings.Path()), "[Channels]\r\n#a=newer\r\n[Options]\r\nAutoSave=1\r\n");

    // Two threads per part change its state and write a snapshot of it, the ticket taken
    // with the snapshot; the file ends with each part's final state.
    struct TState {
        std::mutex Mutex;
        std::map<std::string, std::string> Keys;
    } states[2];
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&, t] {
            const TPart part = t % 2 ? TPart::Options : TPart::Lobbies;
            const std::string section = t % 2 ? "Options" : "Channels";
            TState& state = states[t % 2];
            for (int i = 0; i < 50; ++i) {
                std::map<std::string, std::string> snapshot;
                std::uint64_t ticket;
                {
                    std::lock_guard lock(state.Mutex);
                    state.Keys["#t" + std::to_string(t)] = std::to_string(i);
                    snapshot = state.Keys;
                    ticket = settings.Ticket(part);
                }
                settings.Write(part, ticket, [&](TIniFile& ini) {
                    for (const auto& [key, value] : snapshot) ini.WriteString(section, key, value);
                });
            }
        });
    for (auto& writer : writers) writer.join();
    const TIniFile ini = settings.Load();
    EXPECT_EQ(ini.ReadString("Channels", "#a", ""), "newer");
    EXPECT_TRUE(ini.ReadBool("Options", "AutoSave", false));
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(ini.ReadString(t % 2 ? "Options" : "Channels", "#t" + std::to_string(t), ""),
                  "49");
}
