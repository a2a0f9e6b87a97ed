#include "childprocess.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args)
{
#ifdef _WIN32
    std::string commandLine = "\"" + program + "\"";
    for (const std::string& arg : args)
        commandLine += " \"" + arg + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &info)) {
        CloseHandle(info.hThread);
        process = info.hProcess;
        started = true;
    }
#else
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    started = posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) == 0;
#endif
}

ChildProcess::~ChildProcess() { Kill(); }

void ChildProcess::Kill()
{
    if (!started)
        return;
    started = false;
#ifdef _WIN32
    TerminateProcess(process, 1);
    WaitForSingleObject(process, 10000);
    CloseHandle(process);
#else
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
#endif
}

std::string ProgramFolder()
{
#ifdef _WIN32
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string folder(path, length);
    return folder.substr(0, folder.find_last_of("\\/") + 1);
#else
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    std::string folder(path, length > 0 ? static_cast<size_t>(length) : 0);
    return folder.substr(0, folder.find_last_of('/') + 1);
#endif
}
