// `vornctl attributes` on machines that cannot be given an identity: the
// document is printed as always, exit 0, and standard error says which
// mandatory value is missing and why.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "tests/support/testsupport.h"

namespace vorn::test {
namespace {

using namespace std::chrono_literals;

struct CtlOutput {
    int m_exitCode = -1;
    std::string m_strOut;
    std::string m_strErr;
};

CtlOutput Attributes(const std::string& sysRoot, const std::vector<std::string>& prefix = {}) {
    TempDir registry;
    ChildProcess::Options options;
    options.args = prefix;
    options.args.push_back(BinaryPath("vornctl"));
    options.args.push_back("attributes");
    options.env = {{"VORN_SYSROOT", sysRoot}, {"VORN_REGISTRY_DIR", registry.path()}};
    options.stdinMode = ChildProcess::Stdin::DevNull;
    ChildProcess ctl(options);
    const auto status = ctl.Wait(30s);
    EXPECT_TRUE(status.has_value());
    return {status ? ExitCode(*status) : -1, ctl.Stdout(), ctl.Stderr()};
}

std::string Machine(const std::string& name) {
    return std::string(VORN_TEST_DATA_DIR) + "/machines/" + name;
}

TEST(VornctlAttributes, SaysWhyNoIdentityCanBeAskedFor) {
    const struct {
        const char* m_szMachine;
        std::vector<std::string> m_notes;
        std::vector<std::string> m_absent;
    } cases[] = {
        {"container",
         {"the agent cannot ask for an identity on this machine",
          "no firmware serial number: " + Machine("container") +
              "/sys/class/dmi/id/product_serial does not exist (no DMI on this machine)",
          "no firmware UUID: " + Machine("container") +
              "/sys/class/dmi/id/product_uuid does not exist (no DMI on this machine)"},
         {}},
        {"kvm",
         {"no firmware serial number: " + Machine("kvm") +
          "/sys/class/dmi/id/product_serial is empty (the firmware sets no value)"},
         {"no firmware UUID"}},
    };
    for (const auto& c : cases) {
        const CtlOutput out = Attributes(Machine(c.m_szMachine));
        EXPECT_EQ(out.m_exitCode, 0) << c.m_szMachine;
        EXPECT_NE(out.m_strOut.find("\"hardware\""), std::string::npos) << out.m_strOut;
        for (const std::string& note : c.m_notes) {
            EXPECT_NE(out.m_strErr.find(note), std::string::npos)
                << c.m_szMachine << ": " << note << "\nstderr:\n"
                << out.m_strErr;
        }
        for (const std::string& absent : c.m_absent) {
            EXPECT_EQ(out.m_strErr.find(absent), std::string::npos) << c.m_szMachine;
        }
    }
}

TEST(VornctlAttributes, NoNoteWhenTheFirmwareValuesArePresent) {
    const CtlOutput out = Attributes(Machine("workstation"));
    EXPECT_EQ(out.m_exitCode, 0);
    EXPECT_EQ(out.m_strErr.find("no firmware"), std::string::npos) << out.m_strErr;
}

// --verbose sends the log lines to standard error, whatever it is (here a file
// reached through the /dev/stderr link).
TEST(VornctlAttributes, VerboseLogsToStandardError) {
    TempDir registry;
    ChildProcess::Options options;
    options.args = {BinaryPath("vornctl"), "attributes", "--verbose"};
    options.env = {{"VORN_SYSROOT", Machine("workstation")},
                   {"VORN_REGISTRY_DIR", registry.path()}};
    options.stdinMode = ChildProcess::Stdin::DevNull;
    ChildProcess ctl(options);
    const auto status = ctl.Wait(30s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(ExitCode(*status), 0) << ctl.Stderr();
    EXPECT_NE(ctl.Stderr().find(" S: debug :: "), std::string::npos) << ctl.Stderr();
    EXPECT_EQ(ctl.Stderr().find("Failed to create/open file"), std::string::npos);
}

// The kernel makes product_serial readable by root only; run as another user.
TEST(VornctlAttributes, NamesAFileReadableByRootOnly) {
    if (geteuid() != 0 || access("/usr/sbin/runuser", X_OK) != 0) {
        GTEST_SKIP() << "needs root and runuser to read as another user";
    }
    TempDir root;
    ASSERT_EQ(chmod(root.path().c_str(), 0755), 0);
    ASSERT_EQ(system(("mkdir -p " + root.file("sys/class/dmi/id") + " && chmod -R 755 " +
                      root.file("sys"))
                         .c_str()),
              0);
    WriteFile(root.file("sys/class/dmi/id/product_serial"), "PF2ABCDE\n");
    WriteFile(root.file("sys/class/dmi/id/product_uuid"), "4c4c4544-0042-3510-8052-b2c04f4e3232\n");
    ASSERT_EQ(chmod(root.file("sys/class/dmi/id/product_serial").c_str(), 0400), 0);
    ASSERT_EQ(chmod(root.file("sys/class/dmi/id/product_uuid").c_str(), 0444), 0);
    const CtlOutput out = Attributes(root.path(), {"/usr/sbin/runuser", "-u", "nobody", "--"});
    if (out.m_strErr.find("Permission denied") != std::string::npos &&
        out.m_strOut.find("hardware") == std::string::npos) {
        GTEST_SKIP() << "nobody cannot run the built binary here: " << out.m_strErr;
    }
    EXPECT_EQ(out.m_exitCode, 0) << out.m_strErr;
    EXPECT_NE(out.m_strErr.find("no firmware serial number: " + root.path() +
                                "/sys/class/dmi/id/product_serial is readable by root only"),
              std::string::npos)
        << out.m_strErr;
    EXPECT_EQ(out.m_strErr.find("no firmware UUID"), std::string::npos) << out.m_strErr;
}

}  // namespace
}  // namespace vorn::test
