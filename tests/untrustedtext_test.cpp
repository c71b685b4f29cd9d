// Text the machine supplies (firmware values, os-release, a store someone
// edited) reaches the administrator's terminal as one visible line: no forged
// log line from an embedded line feed, nothing reordered or hidden by
// bidirectional or zero-width characters.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/testsupport.h"

namespace vorn::test {
namespace {

using namespace std::chrono_literals;

const std::string kRightToLeft = "\xE2\x80\xAE";    // U+202E
const std::string kLineSeparator = "\xE2\x80\xA8";  // U+2028
const std::string kZeroWidth = "\xE2\x80\x8B";      // U+200B
const std::string kForged = "[2026-12-11 06:00:00.000] T: 1 S: error :: forged";

struct CtlOutput {
    int exitCode = -1;
    std::string out, err;
};

CtlOutput Vornctl(const std::vector<std::string>& args, const std::string& sysRoot,
                  const std::string& registry) {
    ChildProcess::Options options;
    options.args = {BinaryPath("vornctl")};
    options.args.insert(options.args.end(), args.begin(), args.end());
    options.env = {{"VORN_SYSROOT", sysRoot}, {"VORN_REGISTRY_DIR", registry}};
    options.stdinMode = ChildProcess::Stdin::DevNull;
    ChildProcess ctl(options);
    const auto status = ctl.Wait(30s);
    EXPECT_TRUE(status.has_value());
    return {status ? ExitCode(*status) : -1, ctl.Stdout(), ctl.Stderr()};
}

// A disk or firmware whose serial holds a line feed and a log-shaped text,
// and an os-release whose name holds a right-to-left override.
TEST(UntrustedText, DeviceTextIsEscapedInLogLinesAndOutput) {
    TempDir machine, registry;
    const std::string root = machine.path() + "/m";
    ASSERT_EQ(0,
              system(("cp -a " + std::string(VORN_TEST_DATA_DIR) + "/machines/workstation " + root)
                         .c_str()));
    WriteFile(root + "/sys/class/dmi/id/product_serial", "PF2A\n" + kForged + "\n");
    WriteFile(root + "/etc/os-release", "PRETTY_NAME=\"Debian" + kRightToLeft +
                                            "txt.exe\"\nNAME=\"Debian" + kZeroWidth +
                                            "\"\nVERSION_ID=\"12\"\nID=debian\n");

    const CtlOutput out = Vornctl({"attributes", "--verbose"}, root, registry.path());
    EXPECT_EQ(0, out.exitCode) << out.err;
    EXPECT_EQ(std::string::npos, out.err.find("\n" + kForged)) << "a forged log line:\n" << out.err;
    EXPECT_NE(std::string::npos, out.err.find("PF2A\\n" + kForged)) << out.err;
    for (const std::string& text : {out.out, out.err}) {
        EXPECT_EQ(std::string::npos, text.find(kRightToLeft)) << text;
        EXPECT_EQ(std::string::npos, text.find(kZeroWidth)) << text;
    }
    EXPECT_NE(std::string::npos, out.out.find("Debian\\u202etxt.exe")) << out.out;
}

// A store whose id holds bidirectional, separator and zero-width characters
// (written by whoever could write it, or accepted by an older agent).
TEST(UntrustedText, StatusShowsInvisibleCharactersOfTheStore) {
    TempDir data, registry;
    WriteFile(registry.file("vorn.reg"), DataDirRegFile(data.path() + "/"));
    WriteFile(data.file("vornstore.json"), "{\"vorn\":\"vorn" + kRightToLeft + "1" +
                                               kLineSeparator + "2" + kZeroWidth +
                                               "\",\"vorn_token\":\"t\",\"instance_key\":\"k\"}");
    // The agent creates the lock file; a reader only takes it.
    WriteFile(data.file("vornstore.json.lck"), "");
    const CtlOutput text = Vornctl({"status"}, "/", registry.path());
    EXPECT_EQ(0, text.exitCode) << text.err;
    EXPECT_NE(std::string::npos, text.out.find("vorn id:       vorn\\u202e1\\u20282\\u200b"))
        << text.out;
    const CtlOutput json = Vornctl({"status", "--json"}, "/", registry.path());
    EXPECT_EQ(0, json.exitCode) << json.err;
    for (const CtlOutput& shown : {text, json}) {
        for (const std::string& raw : {kRightToLeft, kLineSeparator, kZeroWidth}) {
            EXPECT_EQ(std::string::npos, shown.out.find(raw)) << shown.out;
        }
    }
}

}  // namespace
}  // namespace vorn::test
