#pragma once

// What the listener's process needs of its platform before it serves jobs;
// each platform has its side (posix/, windows/).
class ipm_ProcessSetup {
public:
    static void Prepare();
};
