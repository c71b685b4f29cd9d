// The command lines a person types first, against the real vorn and vornctl
// binaries: exit status, which stream answers and its first line. No case
// reaches the agent's port (the refresh cases all fail while parsing) and no
// case starts an agent: the agent's usage errors are tested with the agent.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/testsupport.h"

namespace vorn::test {
namespace {

using namespace std::chrono_literals;

// What the registry directory holds when the command runs.
enum class Registry { Empty, DataDir, Garbage };

const char* Name(Registry registry) {
    switch (registry) {
        case Registry::Empty:
            return "no registry";
        case Registry::DataDir:
            return "a data directory";
        case Registry::Garbage:
            return "an unreadable registry";
    }
    return "?";
}

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

class CommandLine : public ::testing::Test {
protected:
    Outcome Start(const std::string& program, const std::vector<std::string>& args,
                  Registry registry) {
        TempDir reg;
        if (registry == Registry::DataDir) {
            WriteFile(reg.file("vorn.reg"), DataDirRegFile(m_data.path() + "/"));
        } else if (registry == Registry::Garbage) {
            WriteFile(reg.file("vorn.reg"), "\x01\x02 not a registry file\n[unterminated");
        }
        ChildProcess::Options options;
        options.args = {BinaryPath(program)};
        options.args.insert(options.args.end(), args.begin(), args.end());
        options.env = {{"VORN_REGISTRY_DIR", reg.path()},
                       {"VORN_SYSROOT", std::string(VORN_TEST_DATA_DIR) + "/machines/workstation"}};
        options.workingDirectory = m_cwd.path();
        options.stdinMode = ChildProcess::Stdin::DevNull;
        ChildProcess child(options);
        const auto status = child.Wait(30s);
        EXPECT_TRUE(status.has_value()) << program;
        return {status ? ExitCode(*status) : -1, child.Stdout(), child.Stderr()};
    }

    TempDir m_data, m_cwd;
};

TEST_F(CommandLine, EachCommandAnswersWithItsStatusAndFirstLine) {
    const std::string vornUsage = "Usage: vorn --config-path DIRECTORY";
    const std::string ctlUsage = "Usage: vornctl COMMAND [OPTIONS]";
    const std::string notConfigured =
        "vornctl status: the data directory is not configured (registry value DataDir";
    const struct {
        const char* program;
        std::vector<std::string> args;
        Registry registry;
        int exitCode;
        bool onStdout;      // where the first line is expected; the other stream stays empty
        std::string first;  // a prefix of the first line ("" : no output at all)
    } cases[] = {
        // clang-format off
        // The agent's information options answer before anything else happens,
        // whatever the registry holds.
        {"vorn", {"--help"}, Registry::Empty, 0, true, vornUsage},
        {"vorn", {"--help"}, Registry::DataDir, 0, true, vornUsage},
        {"vorn", {"--help"}, Registry::Garbage, 0, true, vornUsage},
        {"vorn", {"-h"}, Registry::Empty, 0, true, vornUsage},
        {"vorn", {"--version"}, Registry::Empty, 0, true, std::string("vorn ") + VORN_VERSION},
        {"vorn", {"--version"}, Registry::DataDir, 0, true, std::string("vorn ") + VORN_VERSION},

        {"vornctl", {}, Registry::Empty, 64, false, ctlUsage},
        {"vornctl", {"--help"}, Registry::Empty, 0, true, ctlUsage},
        {"vornctl", {"-h"}, Registry::Empty, 0, true, ctlUsage},
        {"vornctl", {"--version"}, Registry::Empty, 0, true, std::string("vornctl ") + VORN_VERSION},
        {"vornctl", {"frobnicate"}, Registry::Empty, 64, false,
         "vornctl: unknown command 'frobnicate'"},
        {"vornctl", {"refresh", "--timeout"}, Registry::Empty, 64, false,
         "vornctl refresh: --timeout needs a number of seconds"},
        {"vornctl", {"refresh", "--timeout", "soon"}, Registry::Empty, 64, false,
         "vornctl refresh: --timeout takes seconds between 0 and 86400"},
        {"vornctl", {"refresh", "--timeout", "0"}, Registry::Empty, 64, false,
         "vornctl refresh: --timeout takes seconds between 0 and 86400"},
        {"vornctl", {"refresh", "--bogus"}, Registry::Empty, 64, false,
         "vornctl refresh: unexpected argument '--bogus'"},
        {"vornctl", {"refresh", "--help"}, Registry::Empty, 0, true,
         "Usage: vornctl refresh [--timeout SECONDS]"},
        // Without a registry, the one helpful line and nothing from the helpers.
        {"vornctl", {"status"}, Registry::Empty, 1, false, notConfigured},
        {"vornctl", {"status"}, Registry::DataDir, 1, true, "store:"},
        {"vornctl", {"status", "--json", "extra"}, Registry::Empty, 64, false,
         "vornctl status: unexpected argument 'extra'"},
        // No sibling product is installed: nothing on standard error.
        {"vornctl", {"attributes"}, Registry::Empty, 0, true, "{"},
        {"vornctl", {"attributes", "--help"}, Registry::Empty, 0, true,
         "Usage: vornctl attributes [--verbose]"},
        // clang-format on
    };
    for (const auto& c : cases) {
        std::string label = std::string(c.program);
        for (const std::string& arg : c.args) {
            label += " " + arg;
        }
        label += std::string(" with ") + Name(c.registry);
        const std::string logBefore =
            FileExists(m_data.file("vornagent.log")) ? ReadFile(m_data.file("vornagent.log")) : "";
        const Outcome run = Start(c.program, c.args, c.registry);
        EXPECT_EQ(c.exitCode, run.exitCode) << label << "\n" << run.out << run.err;
        const std::string& answer = c.onStdout ? run.out : run.err;
        const std::string& silent = c.onStdout ? run.err : run.out;
        EXPECT_EQ(c.first, FirstLine(answer).substr(0, c.first.size())) << label << "\n" << answer;
        if (c.first.empty()) {
            EXPECT_EQ("", answer) << label;
        }
        // A status error is the one helpful line; the helpers stay quiet.
        if (!c.onStdout && c.exitCode != 64) {
            EXPECT_EQ(std::string::npos, answer.find('\n', answer.find('\n') + 1)) << label << "\n"
                                                                                   << answer;
        }
        if (c.exitCode != 64) {
            EXPECT_EQ("", silent) << label;
        }
        // The agent's information options do not even open its log.
        if (std::string(c.program) == "vorn") {
            EXPECT_EQ(logBefore, FileExists(m_data.file("vornagent.log"))
                                     ? ReadFile(m_data.file("vornagent.log"))
                                     : "")
                << label;
            EXPECT_FALSE(FileExists(m_cwd.file("vornagent.log"))) << label;
        }
    }
}

TEST_F(CommandLine, HelpNamesEveryOption) {
    const Outcome ctl = Start("vornctl", {"--help"}, Registry::Empty);
    for (const char* word : {"refresh", "--timeout", "status", "--json", "attributes", "--verbose",
                             "--help", "--version", "64"}) {
        EXPECT_NE(std::string::npos, ctl.out.find(word)) << word << "\n" << ctl.out;
    }
    const Outcome agent = Start("vorn", {"--help"}, Registry::Empty);
    for (const char* word : {"--config-path", "--version", "DataDir", "VORN_REGISTRY_DIR",
                             "Exit status", "log only"}) {
        EXPECT_NE(std::string::npos, agent.out.find(word)) << word << "\n" << agent.out;
    }
}

}  // namespace
}  // namespace vorn::test
