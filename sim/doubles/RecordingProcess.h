#pragma once
#include "platform/Process.h"

// The process double: counts the requests to end; the process goes on.
class RecordingProcess : public ProcessService {
public:
    void endProcess() override { ++ends; }
    int ends = 0;
};
