#include "SettingsFile.h"

std::uint64_t TSettingsFile::Ticket(TPart part) {
    return ++tickets_[Index(part)];
}

void TSettingsFile::Write(TPart part, std::uint64_t ticket,
                          const std::function<void(TIniFile&)>& edit) {
    std::lock_guard lock(writeMutex_);
    if (ticket <= written_[Index(part)]) return;
    TIniFile ini = Load();
    edit(ini);
    ini.Save(path_);
    written_[Index(part)] = ticket;
}
