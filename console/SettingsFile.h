// kelbox.ini's one writer. Every change of the file (the lobby sections of Save Lobby List,
// the options after a toggle) is a load, an edit and an atomic save, and two of them at
// once could each undo the other. Here they run one at a time, and a snapshot older than
// one already written is not written at all, so the last completed write holds every
// change made before it started. Any thread.
//
// A writer takes a ticket for its part of the file while it holds still the state it
// copies (the lobby list under its lock, the options on the UI thread), then writes with it.
// The writer lock is a leaf: nothing but the file's own reads and writes happens under it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "IniFile.h"

class TSettingsFile {
  public:
    // The parts of the file that are written separately.
    enum class TPart { Lobbies, Options };

    explicit TSettingsFile(std::string path) : path_(std::move(path)) {}
    TSettingsFile(const TSettingsFile&) = delete;
    TSettingsFile& operator=(const TSettingsFile&) = delete;

    const std::string& Path() const { return path_; }
    // The file as it is now (a missing file is empty). Throws ESafeFileError.
    TIniFile Load() const { return TIniFile::Load(path_); }

    // The place of a snapshot of the part among all snapshots of it.
    std::uint64_t Ticket(TPart part);
    // Loads the file, lets `edit` change it and saves it atomically. A ticket older than
    // one of the same part already written writes nothing: that write holds this change.
    // Throws what loading, editing and saving throw; the file then stays as it was.
    void Write(TPart part, std::uint64_t ticket, const std::function<void(TIniFile&)>& edit);

  private:
    static std::size_t Index(TPart part) { return static_cast<std::size_t>(part); }

    const std::string path_;
    std::array<std::atomic<std::uint64_t>, 2> tickets_{};  // the last ticket given, per part
    std::mutex writeMutex_;                                // held for a whole write; a leaf lock
    std::array<std::uint64_t, 2> written_{};  // guarded by writeMutex_: last ticket written
};
