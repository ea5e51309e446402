// The console as far as the remote administration sees it, for the remote administration
// and reliability tests: it records what it is asked and stops the server as the console
// does, without a window. Its TAdminHost members run on connection threads, the test's
// setters on the test thread; one mutex guards what both use.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "chat/NetIrcServer.h"
#include "console/AdminHost.h"

class FakeAdminHost : public TAdminHost {
  public:
    // Every log line starts with this instead of a timestamp.
    static constexpr const char* Stamp = "ts: ";

    FakeAdminHost(TNetIRCServer& server, std::string dir) : server_(server), dir_(std::move(dir)) {}

    TNetIRCServer& IrcServer() override { return server_; }
    const void* ConsoleSender() const override { return this; }
    std::string ProgramDir() const override { return dir_; }
    bool AllowCreateOption() const override { return allowCreate; }

    void AddLog(const std::string& text) override {
        std::lock_guard lock(mutex_);
        log_.insert(log_.begin(), Stamp + text);
    }
    std::vector<std::string> LogLines() const override {
        std::lock_guard lock(mutex_);
        return log_;
    }
    std::vector<std::string> LobbyRowTexts() const override {
        std::lock_guard lock(mutex_);
        if (!rowError_.empty()) throw std::runtime_error(rowError_);
        return rows_;
    }
    void SaveLobbyList() override {
        std::lock_guard lock(mutex_);
        if (!saveError_.empty()) throw std::runtime_error(saveError_);
        ++saves_;
    }
    void SetSaveLobbysEnabled(bool enabled) override {
        std::lock_guard lock(mutex_);
        saveEnabled_.push_back(enabled);
    }
    // The console's stop without its question: false at once while another stop runs.
    bool StopServerRemote() override {
        std::unique_lock lock(stopMutex_, std::try_to_lock);
        if (!lock.owns_lock() || !server_.Active()) return false;
        stopping_ = true;
        server_.LobbyStore().QuitAll("***Server stopped.....");
        std::this_thread::sleep_for(stopPause);
        server_.SetActive(false);
        ++stops;
        stopping_ = false;
        return true;
    }
    bool StopUnderWay() const override { return stopping_; }
    void ShowOperatorMessage(const std::string& text) override {
        std::lock_guard lock(mutex_);
        operatorMessages_.push_back(text);
    }

    // --- The test's side ---
    void SetRows(std::vector<std::string> rows, std::string error = "") {
        std::lock_guard lock(mutex_);
        rows_ = std::move(rows);
        rowError_ = std::move(error);
    }
    void SetSaveError(std::string error) {
        std::lock_guard lock(mutex_);
        saveError_ = std::move(error);
    }
    int Saves() const {
        std::lock_guard lock(mutex_);
        return saves_;
    }
    std::vector<bool> SaveEnabledCalls() const {
        std::lock_guard lock(mutex_);
        return saveEnabled_;
    }
    std::vector<std::string> OperatorMessages() const {
        std::lock_guard lock(mutex_);
        return operatorMessages_;
    }
    // How many log lines carry exactly this text.
    int LogCount(const std::string& text) const {
        const std::vector<std::string> lines = LogLines();
        return static_cast<int>(std::count(lines.begin(), lines.end(), Stamp + text));
    }

    std::atomic<bool> allowCreate{true};
    std::chrono::milliseconds stopPause{20};
    std::atomic<int> stops{0};

  private:
    TNetIRCServer& server_;
    const std::string dir_;
    mutable std::mutex mutex_;      // guards everything below
    std::vector<std::string> log_;  // newest first
    std::vector<std::string> rows_, operatorMessages_;
    std::vector<bool> saveEnabled_;
    std::string saveError_, rowError_;
    int saves_ = 0;
    std::mutex stopMutex_;  // held for a whole stop
    std::atomic<bool> stopping_{false};
};
