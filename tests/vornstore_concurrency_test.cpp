// The store shared between processes: readers never see a partial file,
// writers never lose each other's keys, and a writer killed at any instant
// leaves the last complete identity behind.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "agent/vornstorereaderwriter.h"
#include "common/linux/vornfilelock.h"
#include "common/vornlogger.h"
#include "common/vornstorefileimpl.h"
#include "tests/support/testsupport.h"

namespace vorn {
namespace {

using Clock = std::chrono::steady_clock;
using test::InodeOf;
using test::ReadFile;
using test::TempDir;

// The string members of a store text, or nullopt when it is not a complete
// JSON object of strings.
std::optional<std::map<std::string, std::string>> ParseStore(const std::string& text) {
    cJSON* root = cJSON_ParseWithLength(text.data(), text.size());
    if (root == nullptr || !cJSON_IsObject(root)) {
        cJSON_Delete(root);
        return std::nullopt;
    }
    std::map<std::string, std::string> members;
    bool allStrings = true;
    for (const cJSON* item = root->child; item != nullptr; item = item->next) {
        if (!cJSON_IsString(item)) {
            allStrings = false;
            break;
        }
        members[item->string] = item->valuestring;
    }
    cJSON_Delete(root);
    if (!allStrings) {
        return std::nullopt;
    }
    return members;
}

// The number after the last '-' of a value such as "token-17", or -1.
long long Generation(const std::string& value) {
    const size_t dash = value.rfind('-');
    if (dash == std::string::npos || dash + 1 == value.size()) {
        return -1;
    }
    return std::stoll(value.substr(dash + 1));
}

// Whether one answer's token, VORN id and instance key sit together.
bool IsOneAnswer(const std::map<std::string, std::string>& members, long long* generation) {
    const auto token = members.find("vorn_token");
    const auto vorn = members.find("vorn");
    const auto key = members.find("instance_key");
    if (token == members.end() || vorn == members.end() || key == members.end()) {
        return false;
    }
    const long long g = Generation(token->second);
    *generation = g;
    return g >= 0 && Generation(vorn->second) == g && Generation(key->second) == g;
}

// Quiets the per-write debug lines of the hot loops below.
class QuietLog {
public:
    QuietLog() : m_nLevel(CVORNLogger::TryGetInstance()->GetLogLevel()) {
        CVORNLogger::TryGetInstance()->SetLogLevel(CVORNLogger::kError);
    }
    ~QuietLog() { CVORNLogger::TryGetInstance()->SetLogLevel(m_nLevel); }

private:
    int m_nLevel;
};

// Alternates writes of a whole answer plus this process's own counter with
// reads for 'duration'; returns the number of faults seen.
int Hammer(const std::string& path, const std::string& self, std::chrono::milliseconds duration,
           long long* writes) {
    CVORNStoreFileImpl store;
    if (store.Initialize(path) != VORN_OK) {
        return 1;
    }
    int faults = 0;
    long long counter = 0;
    const auto end = Clock::now() + duration;
    while (Clock::now() < end) {
        // Only this process writes its counter, so it must still hold the
        // last value written: a lost update would show here.
        std::string mine;
        if (store.ReadKeyValue(self, mine) != VORN_OK || mine != std::to_string(counter)) {
            ++faults;
        }
        ++counter;
        const std::string g = std::to_string(counter);
        if (store.WriteKeyValues({{"vorn_token", self + "-token-" + g},
                                  {"vorn", self + "-vorn-" + g},
                                  {"instance_key", self + "-key-" + g},
                                  {self, g}}) != VORN_OK) {
            ++faults;
        }
        // Under the shared lock, and without it (the replace is atomic), the
        // file is always one complete answer.
        long long generation = 0;
        {
            CVORNFileLock lock;
            std::string error;
            if (!lock.Lock(path + ".lck", CVORNFileLock::Mode::Shared, error)) {
                ++faults;
            }
            const auto locked = ParseStore(ReadFile(path));
            if (!locked || !IsOneAnswer(*locked, &generation)) {
                ++faults;
            }
        }
        const auto unlocked = ParseStore(ReadFile(path));
        if (!unlocked || !IsOneAnswer(*unlocked, &generation)) {
            ++faults;
        }
    }
    *writes = counter;
    return faults;
}

// A complete identity plus one write counter per competitor, each at 0.
void SeedStore(const std::string& path, const char* first, const char* second) {
    CVORNStoreFileImpl store;
    ASSERT_EQ(VORN_OK, store.Initialize(path));
    ASSERT_EQ(VORN_OK, store.WriteKeyValues({{"vorn_token", "t-0"},
                                             {"vorn", "v-0"},
                                             {"instance_key", "k-0"},
                                             {first, "0"},
                                             {second, "0"}}));
}

TEST(StoreConcurrencyTest, TwoProcessesReadAndWriteWithoutTornFilesOrLostUpdates) {
    TempDir dir;
    const std::string path = dir.file("vornstore.json");
    SeedStore(path, "parent", "child");
    QuietLog quiet;
    const auto duration = std::chrono::milliseconds(2500);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        long long writes = 0;
        const int faults = Hammer(path, "child", duration, &writes);
        // The child's write count travels through the store itself.
        ::_exit(faults == 0 ? 0 : 1);
    }
    long long parentWrites = 0;
    const int parentFaults = Hammer(path, "parent", duration, &parentWrites);
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    EXPECT_EQ(0, parentFaults);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status)) << "faults in the child";

    const auto final = ParseStore(ReadFile(path));
    ASSERT_TRUE(final.has_value());
    EXPECT_EQ(std::to_string(parentWrites), final->at("parent"));
    EXPECT_GT(std::stoll(final->at("child")), 10);
    EXPECT_GT(parentWrites, 10);
}

// The lock file also excludes two threads of one process, each with its own
// back end object (the agent and an in-process tool, say).
TEST(StoreConcurrencyTest, TwoThreadsWithTheirOwnBackEndsExcludeEachOther) {
    TempDir dir;
    const std::string path = dir.file("vornstore.json");
    SeedStore(path, "one", "two");
    QuietLog quiet;
    const auto duration = std::chrono::milliseconds(1000);
    long long writesOne = 0;
    long long writesTwo = 0;
    int faultsTwo = 0;
    std::thread other([&] { faultsTwo = Hammer(path, "two", duration, &writesTwo); });
    const int faultsOne = Hammer(path, "one", duration, &writesOne);
    other.join();
    EXPECT_EQ(0, faultsOne);
    EXPECT_EQ(0, faultsTwo);
    const auto final = ParseStore(ReadFile(path));
    ASSERT_TRUE(final.has_value());
    EXPECT_EQ(std::to_string(writesOne), final->at("one"));
    EXPECT_EQ(std::to_string(writesTwo), final->at("two"));
}

TEST(StoreConcurrencyTest, WriterKilledAtAnyInstantLeavesOldOrNewAnswer) {
    TempDir dir;
    const std::string path = dir.file("vornstore.json");
    {
        CVORNStoreReaderWriter store;
        ASSERT_EQ(VORN_OK, store.Initialize(CVORNStoreReaderWriter::eStoreTypeFile, path));
        ASSERT_EQ(VORN_OK, store.SetIdentity("token-0", "vorn-0", "key-0"));
    }
    QuietLog quiet;
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> delayMicros(0, 6000);

    long long last = 0;
    int iterations = 0;
    int advanced = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(25);
    while (iterations < 400 && Clock::now() < deadline) {
        const ino_t before = InodeOf(path);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // A fresh agent writing one answer after another until killed.
            CVORNStoreReaderWriter store;
            if (store.Initialize(CVORNStoreReaderWriter::eStoreTypeFile, path) != VORN_OK) {
                ::_exit(1);
            }
            for (long long g = last + 1;; ++g) {
                const std::string n = std::to_string(g);
                (void)store.SetIdentity("token-" + n, "vorn-" + n, "key-" + n);
            }
        }
        // A slow start (a loaded machine, a sanitizer) can take longer than
        // the whole delay range, and then no kill would land after a write.
        // Every fourth writer is first seen to replace the file once (a new
        // inode: every write replaces it), so the
        // kills also reach the later writes, whatever the machine's speed.
        if (iterations % 4 == 3) {
            const auto waitEnd = Clock::now() + std::chrono::seconds(5);
            while (InodeOf(path) == before && Clock::now() < waitEnd) {
                ::usleep(200);
            }
        }
        ::usleep(static_cast<useconds_t>(delayMicros(random)));
        ASSERT_EQ(0, ::kill(child, SIGKILL));
        int status = 0;
        ASSERT_EQ(child, ::waitpid(child, &status, 0));
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself";

        const auto members = ParseStore(ReadFile(path));
        ASSERT_TRUE(members.has_value())
            << "unreadable store after kill " << iterations << ": [" << ReadFile(path) << "]";
        long long generation = -1;
        ASSERT_TRUE(IsOneAnswer(*members, &generation))
            << "mixed answers after kill " << iterations << ": [" << ReadFile(path) << "]";
        ASSERT_GE(generation, last) << "an older answer came back";
        if (generation > last) {
            ++advanced;
        }
        last = generation;
        ++iterations;
    }
    EXPECT_GE(iterations, 200);
    EXPECT_GT(advanced, 0);

    // A killed writer leaves no lock behind: the next agent reads and writes.
    CVORNStoreReaderWriter next;
    ASSERT_EQ(VORN_OK, next.Initialize(CVORNStoreReaderWriter::eStoreTypeFile, path));
    EXPECT_EQ("vorn-" + std::to_string(last), next.GetVORN());
    EXPECT_EQ(VORN_OK, next.SetVORN("vorn-after"));
}

}  // namespace
}  // namespace vorn
