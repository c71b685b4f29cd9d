#include "common/linux/registrycache.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/registrykey.h"
#include "tests/support/testsupport.h"

using namespace vorn;
using vorn::test::ScopedEnv;
using vorn::test::TempDir;
using vorn::test::WriteFile;

namespace {

const char kKey[] = "hkey_local_machine\\software\\t";

std::string Hive(const std::string& value) {
    return "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\n\"V\"=\"" +
           value + "\"\n";
}

// The value "V" of the snapshot as text, "" when it is missing.
std::string ValueOf(const RegistrySnapshot& snapshot, const char* name = "V") {
    const RegistryValue* value = snapshot.m_hive.Find(kKey, name);
    if (value == nullptr) {
        return {};
    }
    std::string text;  // ASCII in UTF-16LE, up to its terminator
    for (size_t i = 0; i < value->data.size() && value->data[i] != 0; i += 2) {
        text.push_back(static_cast<char>(value->data[i]));
    }
    return text;
}

// Backdates a file's modification time, as a file written long ago has it
// (its change time stays now: the clock below is what makes it old).
void Backdate(const std::string& path) {
    const timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// A clock an hour ahead, so that every file written by the test counts as
// settled and its parse is kept.
timespec HourAhead() {
    timespec now = CRegistryCache::SystemClock();
    now.tv_sec += 3600;
    return now;
}

class RegistryCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        Write("10-a.reg", Hive("one"));
        Write("20-b.reg", "Windows Registry Editor Version 5.00\n");
    }
    void Write(const std::string& name, const std::string& text) {
        WriteFile(m_dir.file(name), text);
        Backdate(m_dir.file(name));
    }
    TempDir m_dir;
    CRegistryCache m_cache{HourAhead};
};

TEST_F(RegistryCacheTest, AnUnchangedDirectoryIsParsedOnce) {
    const auto first = m_cache.Load(m_dir.path());
    const auto second = m_cache.Load(m_dir.path());
    EXPECT_EQ(first, second);
    EXPECT_EQ(m_cache.Parses(), 1u);
    EXPECT_EQ(ValueOf(*second), "one");
}

// Every change a fresh read would see is seen by the next load, whatever its
// size and however close in time to the previous write.
TEST_F(RegistryCacheTest, EveryChangeIsSeenByTheNextLoad) {
    struct Case {
        const char* name;
        std::function<void(const std::string& dir)> change;
        const char* expected;
    };
    const Case cases[] = {
        {"rewritten in place, same size",
         [](const std::string& dir) { WriteFile(dir + "/10-a.reg", Hive("two")); }, "two"},
        {"a file added",
         [](const std::string& dir) {
             WriteFile(dir + "/30-c.reg", Hive("six"));
             Backdate(dir + "/30-c.reg");
         },
         "six"},
        {"removed",
         [](const std::string& dir) { ASSERT_EQ(unlink((dir + "/10-a.reg").c_str()), 0); }, ""},
        {"replaced by a rename over it, size and times alike",
         [](const std::string& dir) {
             WriteFile(dir + "/new.tmp", Hive("two"));
             Backdate(dir + "/new.tmp");
             ASSERT_EQ(rename((dir + "/new.tmp").c_str(), (dir + "/10-a.reg").c_str()), 0);
         },
         "two"},
        {"renamed away from the hive's names",
         [](const std::string& dir) {
             ASSERT_EQ(rename((dir + "/10-a.reg").c_str(), (dir + "/10-a.old").c_str()), 0);
         },
         ""},
        {"replaced by a directory",
         [](const std::string& dir) {
             ASSERT_EQ(unlink((dir + "/10-a.reg").c_str()), 0);
             ASSERT_EQ(mkdir((dir + "/10-a.reg").c_str(), 0700), 0);
         },
         ""},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = m_dir.file("case" + std::to_string(index++));
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
        for (const char* name : {"10-a.reg", "20-b.reg"}) {
            WriteFile(dir + "/" + name, test::ReadFile(m_dir.file(name)));
            Backdate(dir + "/" + name);
        }
        CRegistryCache cache(HourAhead);
        ASSERT_EQ(ValueOf(*cache.Load(dir)), "one");
        ASSERT_EQ(ValueOf(*cache.Load(dir)), "one");
        ASSERT_EQ(cache.Parses(), 1u);
        c.change(dir);
        testing::internal::CaptureStderr();
        EXPECT_EQ(ValueOf(*cache.Load(dir)), c.expected);
        (void)testing::internal::GetCapturedStderr();
        EXPECT_EQ(cache.Parses(), 2u);
    }
}

// With the real clock a file just written is parsed at every load: a second
// write within the file system's time resolution could leave every time as
// it was.
TEST_F(RegistryCacheTest, RecentlyWrittenFilesAreNotKept) {
    CRegistryCache cache;
    WriteFile(m_dir.file("10-a.reg"), Hive("one"));
    EXPECT_EQ(ValueOf(*cache.Load(m_dir.path())), "one");
    WriteFile(m_dir.file("10-a.reg"), Hive("two"));
    EXPECT_EQ(ValueOf(*cache.Load(m_dir.path())), "two");
    EXPECT_EQ(cache.Parses(), 2u);
}

// A kept parse reports its problems again at every load, as a fresh read
// does; a missing directory is an empty hive until it appears.
TEST_F(RegistryCacheTest, ProblemsAreWrittenAtEveryLoadAndMissingDirectoriesAreEmpty) {
    Write("30-bad.reg", "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\nbogus\n");
    std::string written[2];
    for (std::string& text : written) {
        testing::internal::CaptureStderr();
        (void)m_cache.Load(m_dir.path());
        text = testing::internal::GetCapturedStderr();
    }
    EXPECT_EQ(m_cache.Parses(), 1u);
    EXPECT_EQ(written[0], m_dir.file("30-bad.reg") + ":3: malformed value name\n");
    EXPECT_EQ(written[1], written[0]);

    const std::string missing = m_dir.file("later");
    EXPECT_EQ(m_cache.Load(missing)->m_hive.HasKey(kKey), false);
    ASSERT_EQ(mkdir(missing.c_str(), 0700), 0);
    WriteFile(missing + "/a.reg", Hive("five"));
    Backdate(missing + "/a.reg");
    EXPECT_EQ(ValueOf(*m_cache.Load(missing)), "five");
}

// Inside a read scope the registry is read once; the next scope reads it
// again and sees what changed.
TEST_F(RegistryCacheTest, AReadScopeReadsTheDirectoryOnce) {
    ScopedEnv env("VORN_REGISTRY_DIR", m_dir.path());
    auto read = [] {
        CRegistryKey key;
        if (!key.Open(L"SOFTWARE\\T", true)) {
            return std::string();
        }
        const RegistryValue* value = key.Find(L"V");
        return value == nullptr ? std::string() : std::string(1, static_cast<char>(value->data[0]));
    };
    {
        CRegistryReadScope scope;
        EXPECT_EQ(read(), "o");
        WriteFile(m_dir.file("10-a.reg"), Hive("two"));
        EXPECT_EQ(read(), "o");
    }
    EXPECT_EQ(read(), "t");
}

// Loads from several threads while the files change give one of the
// versions, never a torn one (run under the thread sanitizer).
TEST_F(RegistryCacheTest, ConcurrentLoadsAreSafe) {
    std::vector<std::thread> threads;
    threads.reserve(3);
    std::atomic<int> wrong{0};
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                const std::string value = ValueOf(*m_cache.Load(m_dir.path()));
                if (value != "one" && value != "two") {
                    ++wrong;
                }
            }
        });
    }
    for (int i = 0; i < 20; ++i) {
        const std::string tmp = m_dir.file("tmp");
        WriteFile(tmp, Hive(i % 2 == 0 ? "two" : "one"));
        ASSERT_EQ(rename(tmp.c_str(), m_dir.file("10-a.reg").c_str()), 0);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
