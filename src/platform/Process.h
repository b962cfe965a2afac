#pragma once
// Ending the process: production ends it at once; tests record the request.
#include <functional>

class ProcessService {
public:
    virtual ~ProcessService() = default;
    virtual void endProcess() = 0;
};

ProcessService &processService();
void installProcess(ProcessService *p); // not owned; nullptr restores the real one
void EndProcess();
// True once the process was asked to end (the windows' close handlers then let go).
bool ProcessEnding();
void ResetProcessEnding();
