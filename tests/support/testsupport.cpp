#include "tests/support/testsupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace vorn::test {

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/vorn-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string TempDir::file(const std::string& name) const {
    return m_path + "/" + name;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

ino_t InodeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

size_t LogMark() {
    return ReadFile(TestLogPath()).size();
}

std::string LogSince(size_t mark) {
    const std::string text = ReadFile(TestLogPath());
    return mark < text.size() ? text.substr(mark) : std::string();
}

std::string DataDirRegFile(const std::string& dataDir) {
    std::string escaped;
    for (char c : dataDir) {
        if (c == '\\' || c == '"') {
            escaped.push_back('\\');
        }
        escaped.push_back(c);
    }
    return "Windows Registry Editor Version 5.00\n\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zanto\\Quoralis\\Tessellink\\VORN]\n"
           "\"DataDir\"=\"" +
           escaped + "\"\n";
}

ScopedEnv::ScopedEnv(const std::string& name, const std::optional<std::string>& value)
    : m_name(name) {
    if (const char* old = getenv(name.c_str())) {
        m_old = old;
    }
    if (value) {
        setenv(name.c_str(), value->c_str(), 1);
    } else {
        unsetenv(name.c_str());
    }
}

ScopedEnv::~ScopedEnv() {
    if (m_old) {
        setenv(m_name.c_str(), m_old->c_str(), 1);
    } else {
        unsetenv(m_name.c_str());
    }
}

ChildProcess::ChildProcess(const Options& options) {
    int stdinPipe[2] = {-1, -1};
    if (options.stdinMode == Stdin::Pipe && pipe2(stdinPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const std::string outPath = m_output.file("stdout");
    const std::string errPath = m_output.file("stderr");

    // Everything the child needs is prepared before fork.
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (options.env.count(name) == 0) {
            envStrings.push_back(entry);
        }
    }
    for (const auto& [name, value] : options.env) {
        envStrings.push_back(name);
        envStrings.back().append("=").append(value);
    }
    // The child writes its own pid into this entry: no allocation after fork.
    char listenPid[32] = "LISTEN_PID=";
    if (options.listenFd >= 0) {
        envStrings.push_back("LISTEN_FDS=1");
    }
    std::vector<char*> envp;
    for (std::string& s : envStrings) {
        const std::string name = s.substr(0, s.find('='));
        if (options.listenFd < 0 || (name != "LISTEN_PID" && name != "LISTEN_FDNAMES")) {
            envp.push_back(s.data());
        }
    }
    if (options.listenFd >= 0) {
        envp.push_back(listenPid);
    }
    envp.push_back(nullptr);
    std::vector<std::string> args = options.args;
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& s : args) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);

    m_pid = fork();
    if (m_pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (m_pid == 0) {
        if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) {
            _exit(126);
        }
        // Output files first, so a closed stdin is not refilled by them.
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        switch (options.stdinMode) {
            case Stdin::Pipe:
                dup2(stdinPipe[0], STDIN_FILENO);
                break;
            case Stdin::DevNull: {
                const int fd = open("/dev/null", O_RDONLY);
                dup2(fd, STDIN_FILENO);
                close(fd);
                break;
            }
            case Stdin::Closed:
                close(STDIN_FILENO);
                break;
        }
        if (options.listenFd >= 0) {
            char digits[16];
            int n = 0;
            for (pid_t pid = getpid(); pid > 0 && n < 15; pid /= 10) {
                digits[n++] = static_cast<char>('0' + pid % 10);
            }
            char* end = listenPid + strlen("LISTEN_PID=");
            while (n > 0) {
                *end++ = digits[--n];
            }
            *end = '\0';
            // dup2 leaves the copy open across exec.
            if (options.listenFd == 3) {
                fcntl(3, F_SETFD, 0);
            } else if (dup2(options.listenFd, 3) != 3) {
                _exit(125);
            }
        }
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (options.stdinMode == Stdin::Pipe) {
        close(stdinPipe[0]);
        m_stdin = stdinPipe[1];
    }
}

ChildProcess::~ChildProcess() {
    CloseStdin();
    if (!m_exited && m_pid > 0) {
        kill(m_pid, SIGKILL);
        int status = 0;
        waitpid(m_pid, &status, 0);
    }
}

void ChildProcess::WriteStdin(const std::string& bytes) {
    if (m_stdin >= 0) {
        ssize_t ignored = write(m_stdin, bytes.data(), bytes.size());
        (void)ignored;
    }
}

void ChildProcess::CloseStdin() {
    if (m_stdin >= 0) {
        close(m_stdin);
        m_stdin = -1;
    }
}

void ChildProcess::Signal(int signo) {
    if (!m_exited) {
        kill(m_pid, signo);
    }
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_exited = true;
            return status;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string ChildProcess::Stdout() const {
    return ReadFile(m_output.file("stdout"));
}
std::string ChildProcess::Stderr() const {
    return ReadFile(m_output.file("stderr"));
}

int ExitCode(int waitStatus) {
    return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1;
}

std::string BinaryPath(const std::string& name) {
    return std::string(VORN_BIN_DIR) + "/" + name;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace vorn::test
