// Linked into every test program as an object of its own, so it runs before main() and so
// before the application object: the program gets a home of its own (doubles/
// PrivateHome), whatever HOME and the XDG folders of the caller say. A suite run by hand then
// never empties the user's data folder, and the programs a suite starts (qelvo, qelvo-cli,
// qelvo-ctrlsim) inherit the same private folders.
#include "doubles/PrivateHome.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {
const bool g_homeMade = [] {
    if (UsePrivateHome("qelvo-test").empty()) {
        std::fprintf(stderr, "No private home for the test (%s): nothing is run.\n", std::strerror(errno));
        ::_exit(2);
    }
    return true;
}();
} // namespace
