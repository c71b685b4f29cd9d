// Helpers shared by the tests: scratch directories, files, the test log, and
// child processes of the real binaries.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vorn::test {

// A fresh directory under $TMPDIR, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    // path() + "/" + name
    std::string file(const std::string& name) const;

private:
    std::string m_path;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);
// The inode 'path' names now; 0 when there is none. A file replaced by a
// rename has a new one.
ino_t InodeOf(const std::string& path);

// The log file every test binary writes to (created by the test main).
std::string TestLogPath();
// Everything the test log gained since the mark returned by LogMark().
size_t LogMark();
std::string LogSince(size_t mark);

// A registry hive file naming 'dataDir' as the agent's data directory.
std::string DataDirRegFile(const std::string& dataDir);

// Sets an environment variable for the lifetime of the object.
class ScopedEnv {
public:
    ScopedEnv(const std::string& name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

// A child process with a pipe on its standard input (unless told otherwise)
// and its standard output and error captured to files.
class ChildProcess {
public:
    enum class Stdin { Pipe, DevNull, Closed };
    struct Options {
        std::vector<std::string> args;           // args[0] is the program path
        std::map<std::string, std::string> env;  // added to / replacing the parent's
        std::string workingDirectory;            // empty: the parent's
        Stdin stdinMode = Stdin::Pipe;
        // A socket handed over the way systemd passes one: as descriptor 3,
        // with LISTEN_FDS=1 and LISTEN_PID set to the child's pid. -1: none.
        int listenFd = -1;
    };

    explicit ChildProcess(const Options& options);
    ~ChildProcess();  // kills the child if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return m_pid; }
    void WriteStdin(const std::string& bytes);
    void CloseStdin();
    void Signal(int signo);
    // Waits for the exit; returns the wait status, or nullopt on timeout.
    std::optional<int> Wait(std::chrono::milliseconds timeout);
    std::string Stdout() const;
    std::string Stderr() const;

private:
    pid_t m_pid = -1;
    int m_stdin = -1;
    bool m_exited = false;
    TempDir m_output;
};

// Exit code of a normal exit, or -1.
int ExitCode(int waitStatus);
// Path of a built binary ("vorn", "vornctl", "vorn-cloud").
std::string BinaryPath(const std::string& name);
// Polls 'condition' every few milliseconds until it holds or the timeout passes.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

}  // namespace vorn::test
