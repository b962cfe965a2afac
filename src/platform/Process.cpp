#include "platform/Process.h"

#include <cstdio>
#include <unistd.h>

namespace {
class QtProcess : public ProcessService {
public:
    // Ends at once: whatever was waiting inside the event loop does not run on, and no
    // other window's close handling runs. Everything the tool keeps is already written.
    void endProcess() override
    {
        std::fflush(nullptr);
        ::_exit(0);
    }
};
ProcessService *g_process = nullptr;
bool g_ending = false;
} // namespace

ProcessService &processService()
{
    static QtProcess real;
    return g_process ? *g_process : real;
}

void installProcess(ProcessService *p) { g_process = p; }

void EndProcess()
{
    g_ending = true;
    processService().endProcess();
}

bool ProcessEnding() { return g_ending; }
void ResetProcessEnding() { g_ending = false; }
