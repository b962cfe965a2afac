#include "doubles/PrivateHome.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Plain arrays: they are there before any constructor runs, and this runs before main().
char g_made[PATH_MAX];  // the folder made, removed at the exit
char g_home[PATH_MAX];  // the same once the environment points into it
pid_t g_owner = 0;      // a child that forked without exec runs the exit handlers too

int removeEntry(const char *path, const struct stat *, int, struct FTW *) { return ::remove(path); }

void removeMade()
{
    if (g_made[0] && ::getpid() == g_owner)
        ::nftw(g_made, removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

bool makeDir(const std::string &path, mode_t mode)
{
    return (::mkdir(path.c_str(), mode) == 0 || errno == EEXIST) && ::chmod(path.c_str(), mode) == 0;
}
} // namespace

std::string UsePrivateHome(const char *prefix)
{
    if (g_home[0])
        return g_home;
    if (g_made[0])
        return {}; // an earlier call failed half-way
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
    if (pattern.size() >= sizeof g_made - 64 || !::mkdtemp(pattern.data()))
        return {};
    std::strcpy(g_made, pattern.c_str());
    g_owner = ::getpid();
    std::atexit(removeMade);
    const struct {
        const char *variable;
        const char *folder;
        mode_t mode;
    } places[] = {
        {nullptr, "/.local", 0755},
        {"XDG_CONFIG_HOME", "/.config", 0755},
        {"XDG_DATA_HOME", "/.local/share", 0755},
        {"XDG_STATE_HOME", "/.local/state", 0755},
        {"XDG_CACHE_HOME", "/.cache", 0755},
        {"XDG_RUNTIME_DIR", "/run", 0700},
        {"TMPDIR", "/tmp", 0700},
        {"HOME", "", 0755},
    };
    for (const auto &p : places) {
        const std::string path = pattern + p.folder;
        if (!makeDir(path, p.mode) || (p.variable && ::setenv(p.variable, path.c_str(), 1) != 0))
            return {};
    }
    std::strcpy(g_home, g_made);
    return g_home;
}

std::string PrivateHomeFolder() { return g_home; }

bool InPrivateHome(const std::string &path)
{
    const size_t n = std::strlen(g_home);
    return n > 0 && path.size() > n && path.compare(0, n, g_home) == 0 && path[n] == '/';
}
