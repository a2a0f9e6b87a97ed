// A helper program started by a test and killed at the end of it.
#pragma once

#include <string>
#include <vector>

class ChildProcess {
public:
    // program is a path; the child inherits the environment.
    ChildProcess(const std::string& program, const std::vector<std::string>& args);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return started; }
    void Kill();

private:
    bool started = false;
#ifdef _WIN32
    void* process = nullptr;
#else
    int pid = -1;
#endif
};

// The folder of the running test program, with a trailing separator.
std::string ProgramFolder();
