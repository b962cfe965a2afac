#include "platform/Process.h"

#include <QCoreApplication>

namespace {
class QtProcess : public ProcessService {
public:
    void endProcess() override { QCoreApplication::exit(0); }
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
