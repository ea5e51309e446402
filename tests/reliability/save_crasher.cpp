// Helper process of the crash-during-save test: writes a 1,000-lobby settings file of one
// generation through TIniFile (atomic replacement) and exits, unless killed first.
//   save_crasher <path> <generation> [fsize <bytes>]
// With "fsize", the file size limit is lowered first, so the write fails as on a full
// disk. Exit 0: saved; 3: the save failed (the error text on stderr); 2: bad arguments.
#include <sys/resource.h>
#include <csignal>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "console/IniFile.h"

int main(int argc, char** argv) {
    if (argc != 3 && argc != 5) return 2;
    const std::string path = argv[1];
    const long generation = std::atol(argv[2]);
    if (argc == 5 && std::string(argv[3]) == "fsize") {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(std::atol(argv[4]));
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
    }
    try {
        TIniFile ini = TIniFile::Load(path);
        ini.EraseSection("Channels");
        const std::string tag = " generation " + std::to_string(generation);
        for (int i = 0; i < 1000; ++i) {
            ini.WriteString("Channels", "#lobby" + std::to_string(i),
                            "Lobby number " + std::to_string(i) + tag);
        }
        ini.WriteString("Options", "Generation", std::to_string(generation));
        ini.Save(path);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 3;
    }
    return 0;
}
