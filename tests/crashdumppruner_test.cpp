#include "agent/linux/crashdumppruner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <string>

#include "tests/support/testsupport.h"

namespace vorn::test {
namespace {

TEST(CrashDumpPruner, RecognisesOnlyTheHandlersNames) {
    const struct {
        const char* name;
        bool dump;
    } cases[] = {
        {"vorn-123-1765000000.core", true},  {"vorn-123-1765000000-2.core", true},
        {"my-tool-1-2.core", true},          {"vorn-123.core", false},  // no time
        {"-123-1765000000.core", false},                                // no program name
        {"vorn-12a-1765000000.core", false}, {"vorn-123-1765000000.core.gz", false},
        {"vorn-123-.core", false},           {"core", false},
        {"vornstore.json", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.dump, IsCrashDumpName(c.name)) << c.name;
    }
}

void WriteAged(const std::string& path, time_t modified) {
    WriteFile(path, "dump");
    const struct timespec times[2] = {{modified, 0}, {modified, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0));
}

// The newest dumps stay, older ones go; whatever is not a dump file of the
// handler (other files, links, directories) is neither counted nor touched.
TEST(CrashDumpPruner, KeepsTheNewestDumpsOnly) {
    TempDir dir;
    // Names and ages disagree on purpose: age decides.
    WriteAged(dir.file("vorn-5-100.core"), 5000);
    WriteAged(dir.file("vorn-4-200.core"), 4000);
    WriteAged(dir.file("vorn-3-300.core"), 3000);
    WriteAged(dir.file("vorn-2-400.core"), 2000);
    WriteAged(dir.file("vorn-1-500-1.core"), 1000);
    WriteFile(dir.file("vornstore.json"), "{}");
    ASSERT_EQ(0, symlink(dir.file("vornstore.json").c_str(), dir.file("vorn-9-1.core").c_str()));
    ASSERT_EQ(0, mkdir(dir.file("vorn-8-1.core").c_str(), 0700));

    EXPECT_EQ(2u, PruneCrashDumps(dir.path(), 3));
    for (const char* kept : {"vorn-5-100.core", "vorn-4-200.core", "vorn-3-300.core",
                             "vornstore.json", "vorn-9-1.core", "vorn-8-1.core"}) {
        EXPECT_TRUE(FileExists(dir.file(kept))) << kept;
    }
    EXPECT_FALSE(FileExists(dir.file("vorn-2-400.core")));
    EXPECT_FALSE(FileExists(dir.file("vorn-1-500-1.core")));

    // Already within the bound, and a directory that is not there.
    EXPECT_EQ(0u, PruneCrashDumps(dir.path(), 3));
    EXPECT_EQ(0u, PruneCrashDumps(dir.file("missing"), 3));
}

}  // namespace
}  // namespace vorn::test
