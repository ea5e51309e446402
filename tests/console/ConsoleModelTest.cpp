// The console model alone (console/ConsoleModel.cpp): the log with its cap and log files,
// the user grid, the lobby rows and the handlers' decisions, the action states and the
// refresh requests, with a clock that the test sets and lobbies that no server holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "chat/NetIrcServer.h"
#include "console/ConsoleModel.h"
#include "console/DiskWriter.h"
#include "support/TestFiles.h"

using namespace std::chrono_literals;

namespace {

using TModel = TConsoleModel;

class ConsoleModelTest : public ::testing::Test {
  protected:
    // Lobbies for the model's rows: made by the test, never added to the server.
    TLobby& NewLobby(const std::string& name, bool userCreated = false, bool isPrivate = false) {
        auto& lobby = lobbies_.emplace_back(
            std::make_unique<TLobby>(server_.LobbyStore(), name, name + " text", isPrivate));
        lobby->UserCreated = userCreated;
        return *lobby;
    }
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir_.Path()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    TempDir dir_{"console-model"};
    std::string now_ = "01.02.26 10:00:00";  // read by Now on the test's threads only
    std::atomic<int> refreshRequests_{0};
    std::vector<std::string> echoed_;  // LogEcho runs under the model's lock
    TModel model_{dir_.Path(),
                  writer_,
                  {.Now = [this] { return now_; },
                   .RefreshNeeded = [this] { ++refreshRequests_; },
                   .LogEcho = [this](const std::string& line) { echoed_.push_back(line); }}};
    TDiskWriter writer_;  // after the model: its jobs have run before the model goes
    TNetIRCServer server_{0ms};
    std::vector<std::unique_ptr<TLobby>> lobbies_;
};

TEST_F(ConsoleModelTest, LogKeepsTwoHundredLinesNewestFirstOrSavesThemAll) {
    // Lines are stamped and echoed in order, the status shows the text; without auto-save
    // the 201st drops the oldest; with it the 201 lines go to one file and the list empties.
    for (int i = 1; i <= 201; ++i) model_.AddLog("line " + std::to_string(i));
    std::vector<std::string> log = model_.LogLines();
    ASSERT_EQ(log.size(), 200u);
    EXPECT_EQ(log.front(), "01.02.26 10:00:00: line 201");
    EXPECT_EQ(log.back(), "01.02.26 10:00:00: line 2");
    EXPECT_EQ(echoed_.size(), 201u);
    EXPECT_EQ(echoed_.front(), "01.02.26 10:00:00: line 1");
    EXPECT_EQ(model_.TakeView().StatusText, "line 201");
    writer_.Drain();
    EXPECT_TRUE(Files().empty());

    model_.ClearLog();
    model_.SetOptions({.AutoSave = true});
    for (int i = 1; i <= 201; ++i) model_.AddLog("line " + std::to_string(i));
    EXPECT_TRUE(model_.LogLines().empty());
    writer_.Drain();
    ASSERT_EQ(Files(), std::vector<std::string>{"01_02_26 10_00_00.log"});
    const std::string content = ReadFile(dir_.File("01_02_26 10_00_00.log"));
    EXPECT_TRUE(content.starts_with("01.02.26 10:00:00: line 201\r\n"));
    EXPECT_TRUE(content.ends_with(": line 1\r\n"));
    EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), 201);
}

TEST_F(ConsoleModelTest, SavesOfOneSecondKeepEveryLogAndFailuresKeepTheLines) {
    // Saves in one second share a timestamp: the first file has the plain name, later ones
    // a number, and none replaces another; a name already taken by anything is passed
    // over. A save that cannot write puts its lines back below the newer ones and shows the
    // error.
    model_.SaveLog();  // an empty log writes nothing
    model_.AddLog("first");
    model_.SaveLog();
    model_.AddLog("second");
    model_.SaveLog();
    ASSERT_TRUE(std::filesystem::create_directory(dir_.File("01_02_26 10_00_00-3.log")));
    model_.AddLog("third");
    model_.SaveLog();
    writer_.Drain();
    EXPECT_EQ(ReadFile(dir_.File("01_02_26 10_00_00.log")), "01.02.26 10:00:00: first\r\n");
    EXPECT_EQ(ReadFile(dir_.File("01_02_26 10_00_00-2.log")), "01.02.26 10:00:00: second\r\n");
    EXPECT_EQ(ReadFile(dir_.File("01_02_26 10_00_00-4.log")), "01.02.26 10:00:00: third\r\n");
    EXPECT_EQ(Files().size(), 4u);

    now_ = "01.02.26 10:00:01";  // the folder is gone: nothing can be written
    const std::string folder = dir_.Path().substr(0, dir_.Path().size() - 1);
    const std::string away = folder + ".away";
    std::filesystem::rename(folder, away);
    std::atomic<bool> diskBusy{true};  // the failed write comes after the newer line
    writer_.Post([&] {
        while (diskBusy) std::this_thread::sleep_for(1ms);
    });
    model_.AddLog("kept");
    model_.SaveLog();
    model_.AddLog("newer");
    diskBusy = false;
    writer_.Drain();
    std::filesystem::rename(away, folder);
    EXPECT_EQ(model_.LogLines(),
              (std::vector<std::string>{"01.02.26 10:00:01: newer", "01.02.26 10:00:01: kept"}));
    EXPECT_EQ(model_.TakeView().StatusText, "Error: Unable to save logfile!");
}

TEST_F(ConsoleModelTest, GridRowsFollowUsersAndTheLastOneIsEmptied) {
    // The first user fills the empty row, the next appends; a quit deletes its row (letter
    // case counts), the last one empties the row; an unknown nick logs the error line.
    model_.UserEnter("alice", "10.0.0.1");
    now_ = "later";
    model_.UserEnter("bob", "10.0.0.2");
    TModel::TView view = model_.TakeView();
    ASSERT_EQ(view.GridRows.size(), 2u);
    EXPECT_EQ(view.GridRows[0].Nick + view.GridRows[0].IP + view.GridRows[0].Time,
              "alice10.0.0.101.02.26 10:00:00");
    EXPECT_EQ(view.GridRows[1].Nick + view.GridRows[1].Time, "boblater");
    model_.UserQuit("ALICE", "10.0.0.1");
    EXPECT_EQ(model_.LogLines().front(), "later: Error on quit: User ALICE@10.0.0.1 not present");
    model_.UserQuit("alice", "10.0.0.1");
    model_.UserQuit("bob", "10.0.0.2");
    view = model_.TakeView();
    ASSERT_EQ(view.GridRows.size(), 1u);
    EXPECT_TRUE(view.GridRows[0].Nick.empty() && view.GridRows[0].Time.empty());
    EXPECT_EQ(model_.LogLines().front(), "later: User bob@10.0.0.2 quit");
}

TEST_F(ConsoleModelTest, LobbiesAreAllowedListedAndRemovedByTheirRules) {
    // The console's lobbies are always accepted, a user's only with Allow create; rows sort
    // without regard to case; Save Lobby List follows the last change; the report lobby
    // is forgotten with its removal.
    TLobby& zeta = NewLobby("#zeta");
    TLobby& alpha = NewLobby("#Alpha", false, true);
    TLobby& mine = NewLobby("#mine", true);
    EXPECT_TRUE(model_.AddLobby(zeta, true, std::nullopt));
    EXPECT_TRUE(model_.AddLobby(alpha, true, std::nullopt));
    model_.SetReportLobby(&zeta);
    EXPECT_TRUE(model_.Actions().SaveLobbysEnabled);
    EXPECT_TRUE(model_.AddLobby(mine, false, "bob"));
    EXPECT_FALSE(model_.Actions().SaveLobbysEnabled);
    EXPECT_EQ(model_.LobbyRowTexts(),
              (std::vector<std::string>{"#Alpha (private)\t[0]\t#Alpha text",
                                        "#mine\t[0]\t#mine text", "#zeta\t[0]\t#zeta text"}));
    EXPECT_EQ(model_.LogLines().front(), "01.02.26 10:00:00: Lobby #mine created by bob");

    model_.ToggleAllowCreate();
    EXPECT_FALSE(model_.AddLobby(NewLobby("#refused", true), false, "bob"));
    EXPECT_TRUE(model_.AddLobby(NewLobby("#operator"), true, std::nullopt));
    EXPECT_EQ(model_.LobbyRowTexts().size(), 4u);

    EXPECT_FALSE(model_.RemoveLobby(alpha, false));  // a user may not remove the operator's
    EXPECT_TRUE(model_.RemoveLobby(mine, false));
    EXPECT_EQ(model_.LogLines().front(), "01.02.26 10:00:00: User created lobby #mine removed");
    EXPECT_TRUE(model_.IsReportLobby(&zeta));
    EXPECT_TRUE(model_.RemoveLobby(zeta, true));
    EXPECT_TRUE(model_.Actions().SaveLobbysEnabled);
    EXPECT_FALSE(model_.IsReportLobby(&zeta));
    EXPECT_FALSE(model_.IsReportLobby(nullptr));
}

TEST_F(ConsoleModelTest, JoinsAndPartsRewriteTheRowAndDecide) {
    // A join shows the joiner in the count and is allowed, with the note in the report
    // lobby; an unlisted lobby logs the error and decides nothing; an emptied user lobby
    // is to be removed, an emptied operator lobby is not.
    TLobby& report = NewLobby("#Report");
    TLobby& mine = NewLobby("#mine", true);
    TLobby& unlisted = NewLobby("#unlisted");
    model_.AddLobby(report, true, std::nullopt);
    model_.AddLobby(mine, false, "bob");
    model_.SetReportLobby(&report);
    report.Members.push_back({"amy", nullptr});

    bool allow = false;
    std::string msg = "as it came";
    model_.UserJoin(unlisted, "bob", "1.2.3.4", allow, msg);
    EXPECT_FALSE(allow);
    EXPECT_EQ(msg, "as it came");
    EXPECT_EQ(
        model_.LogLines().front(),
        "01.02.26 10:00:00: Error on Join: Lobby \"#unlisted\" not present: User bob@1.2.3.4");
    allow = true;  // as the core raises the event for a user not yet in the lobby
    model_.UserJoin(mine, "bob", "1.2.3.4", allow, msg);
    EXPECT_TRUE(allow);
    EXPECT_EQ(msg, "as it came");
    model_.UserJoin(report, "bob", "1.2.3.4", allow, msg);
    EXPECT_EQ(msg,
              "\r\nPlease note:\r\nThis messages will not be sent to other users.\r\n"
              "Report problems, question, bugs....");
    EXPECT_EQ(model_.LobbyRowTexts(),
              (std::vector<std::string>{"#mine\t[1]\t#mine text", "#Report\t[2]\t#Report text"}));

    report.Members.clear();
    EXPECT_FALSE(model_.UserPart(report, "bob"));
    EXPECT_TRUE(model_.UserPart(mine, "bob"));
    EXPECT_FALSE(model_.UserPart(unlisted, "bob"));
    EXPECT_EQ(model_.LobbyRowTexts().back(), "#Report\t[0]\t#Report text");
}

TEST_F(ConsoleModelTest, AQuitRewritesOnlyTheRowsOfTheUsersLobbies) {
    // The core raises a part for every lobby when a user quits. With a thousand lobbies
    // and the user in two of them, only those two rows are rewritten and moved to where
    // their new text sorts; a round of parts that changes no text changes nothing, not
    // even the refresh.
    std::vector<TLobby*> all;
    for (int i = 0; i < 1000; ++i) {
        TLobby& lobby = NewLobby("#l" + std::to_string(1000 + i));
        model_.AddLobby(lobby, true, std::nullopt);
        all.push_back(&lobby);
    }
    TLobby& first = *all[10];
    TLobby& second = *all[500];
    for (TLobby* lobby : {&first, &second}) {
        bool allow = true;
        std::string msg;
        model_.UserJoin(*lobby, "bob", "1.2.3.4", allow, msg);
        lobby->Members.push_back({"bob", nullptr});
    }
    model_.TakeView();
    const std::uint64_t before = model_.RowRewrites();

    first.Members.clear();
    second.Members.clear();
    for (auto it = all.rbegin(); it != all.rend(); ++it) model_.UserPart(**it, "bob");
    EXPECT_EQ(model_.RowRewrites() - before, 2u);
    const std::vector<std::string> rows = model_.LobbyRowTexts();
    EXPECT_TRUE(std::is_sorted(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
        return std::lexicographical_compare(
            a.begin(), a.end(), b.begin(), b.end(),
            [](unsigned char x, unsigned char y) { return std::tolower(x) < std::tolower(y); });
    }));
    EXPECT_EQ(rows[10], "#l1010\t[0]\t#l1010 text");
    EXPECT_TRUE(model_.TakeView().Parts & TModel::LobbyPart);

    // The disconnect handling that follows parts every lobby once more.
    for (auto it = all.rbegin(); it != all.rend(); ++it) model_.UserPart(**it, "bob");
    EXPECT_EQ(model_.RowRewrites() - before, 2u);
    EXPECT_EQ(model_.TakeView().Parts, TModel::NoPart);
}

TEST_F(ConsoleModelTest, ARefreshIsRequestedOnceUntilTheViewIsTaken) {
    // The first change asks for a refresh, later ones do not until the view is taken; the
    // view holds the changed parts only, and the action states always.
    model_.SetServerRunning(true);
    model_.AddLog("one");
    model_.AddLog("two");
    EXPECT_EQ(refreshRequests_, 1);
    TModel::TView view = model_.TakeView();
    EXPECT_EQ(view.Parts, TModel::ActionPart | TModel::LogPart | TModel::StatusPart);
    EXPECT_EQ(view.Log.size(), 2u);
    EXPECT_TRUE(view.GridRows.empty() && view.LobbyRows.empty());
    EXPECT_FALSE(view.Actions.StartEnabled);
    EXPECT_TRUE(view.Actions.StopEnabled);
    EXPECT_EQ(model_.TakeView().Parts, TModel::NoPart);
    model_.UserEnter("amy", "10.0.0.1");
    EXPECT_EQ(refreshRequests_, 2);
    EXPECT_EQ(model_.TakeView().Parts, TModel::GridPart | TModel::LogPart | TModel::StatusPart);
}

TEST(ConsoleModelThreads, LinesFromManyThreadsAreAllKeptOrSaved) {
    // Threads log at once with auto-save on: every line is in the list or in exactly one
    // log file, and each file holds its lines newest first.
    TempDir dir("console-model-threads");
    std::atomic<int> second{0};
    TDiskWriter writer;
    TConsoleModel model(
        dir.Path(), writer,
        {.Now = [&] { return std::to_string(++second); }, .RefreshNeeded = {}, .LogEcho = {}});
    model.SetOptions({.AutoSave = true});
    constexpr int Threads = 4, Lines = 1000;
    std::vector<std::thread> loggers;
    for (int t = 0; t < Threads; ++t)
        loggers.emplace_back([&model, t] {
            for (int i = 0; i < Lines; ++i)
                model.AddLog(std::to_string(t) + ":" + std::to_string(100000 + i));
        });
    for (auto& logger : loggers) logger.join();
    writer.Drain();
    std::vector<std::string> lines = model.LogLines();
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
        const std::string content = ReadFile(entry.path().string());
        std::vector<std::string> fileLines;
        for (std::size_t at = 0, end; (end = content.find("\r\n", at)) != std::string::npos;
             at = end + 2)
            fileLines.push_back(content.substr(at, end - at));
        EXPECT_EQ(fileLines.size(), TConsoleModel::MaxLogLines + 1);
        std::map<std::string, std::string> newerOfThread;  // thread -> its line above
        for (const std::string& line : fileLines) {
            const std::string text = line.substr(line.find(": ") + 2);
            const std::string thread = text.substr(0, text.find(':'));
            if (newerOfThread.count(thread)) {
                EXPECT_LT(text, newerOfThread[thread]);
            }
            newerOfThread[thread] = text;
        }
        lines.insert(lines.end(), fileLines.begin(), fileLines.end());
    }
    EXPECT_EQ(lines.size(), std::size_t{Threads * Lines});
    std::set<std::string> texts;
    for (const std::string& line : lines) texts.insert(line.substr(line.find(": ") + 2));
    EXPECT_EQ(texts.size(), std::size_t{Threads * Lines});
}

TEST(DiskWriter, PostsPastTheBoundMakeTheirThreadsWaitAndNothingIsLost) {
    // With a slow disk, four threads each post 100 jobs and call WaitIfBehind after each,
    // as connection threads do after every command: the queue never holds more than the
    // bound and one job per thread, every job runs, each thread's in order. Post itself
    // never waits, and a waiter whose connection closes stops waiting.
    constexpr std::size_t Bound = 1000, JobBytes = 300;
    std::atomic<std::size_t> mostQueued{0};
    std::mutex doneMutex;
    std::vector<std::vector<int>> done(4);
    {
        TDiskWriter writer({.MaxQueuedBytes = Bound,
                            .Run = [&](const std::function<void()>& job, std::size_t queued) {
                                if (queued > mostQueued) mostQueued = queued;
                                std::this_thread::sleep_for(1ms);
                                job();
                            }});
        std::vector<std::thread> posters;
        for (int t = 0; t < 4; ++t)
            posters.emplace_back([&, t] {
                for (int i = 0; i < 100; ++i) {
                    writer.Post(
                        [&, t, i] {
                            std::lock_guard lock(doneMutex);
                            done[static_cast<std::size_t>(t)].push_back(i);
                        },
                        JobBytes);
                    writer.WaitIfBehind();
                    EXPECT_LE(writer.QueuedBytes(), Bound + 4 * JobBytes);
                }
            });
        for (auto& poster : posters) poster.join();
        writer.Drain();
    }
    EXPECT_LE(mostQueued.load(), Bound + 4 * JobBytes);
    for (const auto& jobs : done) {
        ASSERT_EQ(jobs.size(), 100u);
        EXPECT_TRUE(std::is_sorted(jobs.begin(), jobs.end()));
    }

    std::atomic<bool> release{false};
    TDiskWriter stuck(
        {.MaxQueuedBytes = 100, .Run = [&](const std::function<void()>& job, std::size_t) {
             while (!release) std::this_thread::sleep_for(1ms);
             job();
         }});
    const auto began = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i) stuck.Post([] {}, 1000);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 1s) << "Post waited for the disk";
    int asked = 0;
    stuck.WaitIfBehind([&] { return ++asked < 2; });  // the connection closes meanwhile
    EXPECT_EQ(asked, 2);
    stuck.WaitIfBehind();  // paid already: returns at once
    release = true;
}

}  // namespace
