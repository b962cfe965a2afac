#pragma once
// A home of its own for a program that runs the tool's code for testing or measuring: a
// fresh folder under the system's temporary folder, into which HOME, XDG_CONFIG_HOME (and
// with it the data folder), XDG_DATA_HOME, XDG_CACHE_HOME, XDG_STATE_HOME, XDG_RUNTIME_DIR
// (mode 0700) and TMPDIR (so its temporary folders too) point, whatever the environment
// said, so that nothing it does reaches the user's own files. Plain POSIX: it runs before the application object (and
// before main). The folder is removed when the process that made it exits; the programs it
// starts inherit it.
#include <string>

// Makes the folder (named after prefix) and points the environment into it; the same
// folder on a second call. Empty when it cannot be made, with errno set.
std::string UsePrivateHome(const char *prefix);
// The folder made by UsePrivateHome, or empty.
std::string PrivateHomeFolder();
// True when path lies inside the private home.
bool InPrivateHome(const std::string &path);
