// The store file back end: file format, key handling, bad files, locking
// preconditions, permissions and the atomic replace.
#include <cjson/cJSON.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/linux/processstop.h"
#include "common/linux/vornfilelock.h"
#include "common/vornstorefileimpl.h"
#include "tests/support/testsupport.h"

namespace vorn {
namespace {

using test::FileExists;
using test::LogMark;
using test::LogSince;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

std::string Fixture(const std::string& name) {
    return ReadFile(std::string(VORN_TEST_DATA_DIR) + "/store/" + name);
}

// What cJSON_Print makes of an object with these string members, in order.
std::string PrintedObject(const std::vector<std::pair<std::string, std::string>>& members) {
    cJSON* object = cJSON_CreateObject();
    for (const auto& [key, value] : members) {
        cJSON_AddStringToObject(object, key.c_str(), value.c_str());
    }
    char* printed = cJSON_Print(object);
    std::string text(printed);
    cJSON_free(printed);
    cJSON_Delete(object);
    return text;
}

bool Contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(0, ::stat(path.c_str(), &info)) << path;
    return info.st_mode & 07777;
}

// Names of the damaged copies of 'store' in 'dir', oldest first.
std::vector<std::string> DamagedCopies(const TempDir& dir, const std::string& store) {
    std::vector<std::string> names;
    DIR* listing = ::opendir(dir.path().c_str());
    if (listing == nullptr) {
        return names;
    }
    const std::string prefix = store + ".damaged-";
    while (const struct dirent* entry = ::readdir(listing)) {
        if (std::string(entry->d_name).rfind(prefix, 0) == 0) {
            names.push_back(entry->d_name);
        }
    }
    ::closedir(listing);
    std::sort(names.begin(), names.end());
    return names;
}

struct StoreFixture {
    TempDir dir;
    std::string path = dir.file("vornstore.json");
    CVORNStoreFileImpl store;
    StoreFixture() { EXPECT_EQ(VORN_OK, store.Initialize(path)); }
};

// One fixture file each: what reading "vorn" gives, and what writing "vorn"
// does to the file.
struct BadFileCase {
    const char* fixture;
    VORN_STATUS readStatus;
    const char* readValue;
    const char* readLog;
    VORN_STATUS writeStatus;
    const char* writeLog;
    const char* textAfterWrite;  // nullptr: the file must be unchanged
};

TEST(StoreFileImplTest, FixtureFilesReadAndWriteAsDocumented) {
    const BadFileCase cases[] = {
        {"valid.json", VORN_OK, "vorn-1", "Parsed JSON to Read value for key[vorn]", VORN_OK,
         "Parsed JSON to Update value for key[vorn]",
         "{\n\t\"vorn\":\t\"new\",\n\t\"vorn_token\":\t\"token-1\",\n\t\"instance_key\":\t"
         "\"key-1\",\n\t\"retry-after\":\t\"1700000000\"\n}"},
        {"empty.json", VORN_FAILED, "", "Size is zero", VORN_OK, "Creating new Store",
         "{\n\t\"vorn\":\t\"new\"\n}"},
        // Text that does not parse is moved aside and a fresh store written.
        {"truncated.json", VORN_FAILED, "", "Couldn't parse json to read: vorn", VORN_OK,
         "Couldn't parse json to write: [vorn]", "{\n\t\"vorn\":\t\"new\"\n}"},
        {"notjson.json", VORN_FAILED, "", "Couldn't parse json to read: vorn", VORN_OK,
         "Couldn't parse json to write: [vorn]", "{\n\t\"vorn\":\t\"new\"\n}"},
        {"number.json", VORN_FAILED, "", "Couldn't get the key : vorn", VORN_ERROR,
         "Invalid type [8] of value for key[vorn]", nullptr},
        {"object.json", VORN_FAILED, "", "Couldn't get the key : vorn", VORN_ERROR,
         "Invalid type [64] of value for key[vorn]", nullptr},
        // A top-level array parses but is no store: never add a member to it.
        {"array.json", VORN_FAILED, "", "Couldn't get the key : vorn", VORN_ERROR,
         "Couldn't parse json to write: [vorn]", nullptr},
        {"uppercase.json", VORN_OK, "upper", "Parsed JSON to Read value for key[vorn]", VORN_OK,
         "Parsed JSON to Update value for key[vorn]",
         "{\n\t\"VORN\":\t\"new\",\n\t\"other\":\t\"x\"\n}"},
        {"crlf.json", VORN_OK, "crlf", "Parsed JSON to Read value for key[vorn]", VORN_OK,
         "Parsed JSON to Update value for key[vorn]", "{\n\t\"vorn\":\t\"new\"\n}"},
        {"trailing.json", VORN_OK, "trailing", "Parsed JSON to Read value for key[vorn]", VORN_OK,
         "Parsed JSON to Update value for key[vorn]", "{\n\t\"vorn\":\t\"new\"\n}"},
    };
    for (const BadFileCase& c : cases) {
        SCOPED_TRACE(c.fixture);
        StoreFixture f;
        const std::string original = Fixture(c.fixture);
        WriteFile(f.path, original);

        size_t mark = LogMark();
        std::string value = "stale";
        EXPECT_EQ(c.readStatus, f.store.ReadKeyValue("vorn", value));
        EXPECT_EQ(c.readValue, value);
        EXPECT_TRUE(Contains(LogSince(mark), c.readLog)) << LogSince(mark);

        mark = LogMark();
        EXPECT_EQ(c.writeStatus, f.store.WriteKeyValue("vorn", "new"));
        EXPECT_TRUE(Contains(LogSince(mark), c.writeLog)) << LogSince(mark);
        EXPECT_EQ(c.textAfterWrite ? std::string(c.textAfterWrite) : original, ReadFile(f.path));
        EXPECT_FALSE(FileExists(f.path + ".tmp"));
        // Only text that does not parse is ever moved aside, and then kept;
        // a top-level array parses, so it stays.
        const std::vector<std::string> damaged = DamagedCopies(f.dir, "vornstore.json");
        if (Contains(LogSince(mark), "does not parse; moved aside")) {
            EXPECT_EQ(VORN_OK, c.writeStatus);
            ASSERT_EQ(1u, damaged.size());
            EXPECT_EQ(original, ReadFile(f.dir.file(damaged[0])));
        } else {
            EXPECT_TRUE(damaged.empty());
        }
    }
}

TEST(StoreFileImplTest, SequenceOfWritesIsByteIdenticalToCJSONPrint) {
    StoreFixture f;
    const size_t mark = LogMark();
    ASSERT_EQ(VORN_OK, f.store.WriteKeyValue("vorn", "v1"));
    ASSERT_EQ(VORN_OK, f.store.WriteKeyValue("vorn_token", "t1"));
    ASSERT_EQ(VORN_OK, f.store.WriteKeyValue("VORN", "v2"));  // same member, first spelling kept
    ASSERT_EQ(VORN_OK, f.store.WriteKeyValue("odd", "quote\" back\\ tab\t nl\n \xc3\xa9"));
    ASSERT_EQ(VORN_OK, f.store.WriteKeyValue("vorn_token", ""));
    const std::string log = LogSince(mark);
    EXPECT_TRUE(Contains(log, "Creating new Store"));
    EXPECT_TRUE(Contains(log, "Adding key-value"));
    EXPECT_TRUE(Contains(log, "Parsed JSON to Insert value for key[vorn_token]"));
    EXPECT_TRUE(Contains(log, "Parsed JSON to Update value for key[VORN]"));

    const std::string text = ReadFile(f.path);
    EXPECT_EQ(
        PrintedObject(
            {{"vorn", "v2"}, {"vorn_token", ""}, {"odd", "quote\" back\\ tab\t nl\n \xc3\xa9"}}),
        text);
    EXPECT_EQ(
        "{\n\t\"vorn\":\t\"v2\",\n\t\"vorn_token\":\t\"\",\n\t\"odd\":\t\"quote\\\" back\\\\ "
        "tab\\t nl\\n \xc3\xa9\"\n}",
        text);
    std::string value;
    EXPECT_EQ(VORN_OK, f.store.ReadKeyValue("ODD", value));
    EXPECT_EQ("quote\" back\\ tab\t nl\n \xc3\xa9", value);
}

TEST(StoreFileImplTest, SeveralKeysGoInOneReplaceOrNotAtAll) {
    StoreFixture f;
    ASSERT_EQ(VORN_OK, f.store.WriteKeyValues({{"vorn_token", "t1"}, {"vorn", "v1"}}));
    ASSERT_EQ(VORN_OK, f.store.WriteKeyValues(
                           {{"vorn_token", "t2"}, {"vorn", "v2"}, {"instance_key", "k2"}}));
    EXPECT_EQ(PrintedObject({{"vorn_token", "t2"}, {"vorn", "v2"}, {"instance_key", "k2"}}),
              ReadFile(f.path));

    // One bad member refuses the whole change.
    const std::string withNumber = "{\"vorn_token\": \"t2\", \"vorn\": 7}";
    WriteFile(f.path, withNumber);
    const size_t mark = LogMark();
    EXPECT_EQ(VORN_ERROR, f.store.WriteKeyValues({{"vorn_token", "t3"}, {"vorn", "v3"}}));
    EXPECT_TRUE(Contains(LogSince(mark), "Invalid type [8] of value for key[vorn]"));
    EXPECT_EQ(withNumber, ReadFile(f.path));

    EXPECT_EQ(VORN_OK, f.store.WriteKeyValues({}));
    EXPECT_EQ(withNumber, ReadFile(f.path));
}

// Found by fuzzing (fuzz/store_fuzzer.cpp): the file holds C strings, so a NUL
// byte cut the value short and the write still reported success.
TEST(StoreFileImplTest, KeysAndValuesWithNulBytesAreRefused) {
    StoreFixture f;
    ASSERT_EQ(VORN_OK, f.store.WriteKeyValues({{"vorn_token", "t1"}, {"k", "old"}}));
    const std::string before = ReadFile(f.path);
    const std::string nulValue("\0railing", 8);
    const std::string nulKey("k\0v{\"a\":1}t\0\0", 13);
    const size_t mark = LogMark();
    EXPECT_EQ(VORN_ERROR, f.store.WriteKeyValues({{"k", "new"}, {"vorn_token", nulValue}}));
    EXPECT_EQ(VORN_ERROR, f.store.WriteKeyValue(nulKey, "v"));
    EXPECT_TRUE(Contains(LogSince(mark), "Store key or value with a NUL byte is not writable"));
    EXPECT_EQ(before, ReadFile(f.path));

    // "k\0..." is not the key "k".
    std::string value = "untouched";
    EXPECT_EQ(VORN_FAILED, f.store.ReadKeyValue(nulKey, value));
    EXPECT_EQ("", value);
    EXPECT_EQ(VORN_OK, f.store.ReadKeyValue("k", value));
    EXPECT_EQ("old", value);
}

TEST(StoreFileImplTest, NewStoreAndLockFileAreOwnerOnly) {
    StoreFixture f;
    EXPECT_TRUE(FileExists(f.path + ".lck"));
    EXPECT_FALSE(FileExists(f.path));
    EXPECT_EQ(0600u, ModeOf(f.path + ".lck"));

    // The store is made by the replace, restricted from the start.
    ASSERT_EQ(VORN_OK, f.store.WriteKeyValue("vorn", "v"));
    EXPECT_EQ(0600u, ModeOf(f.path));
    if (::geteuid() == 0) {
        struct stat info {};
        ASSERT_EQ(0, ::stat(f.path.c_str(), &info));
        EXPECT_EQ(0u, info.st_uid);
    }

    // Later writes leave the permissions alone ...
    const size_t mark = LogMark();
    ASSERT_EQ(VORN_OK, f.store.WriteKeyValue("vorn", "w"));
    EXPECT_FALSE(Contains(LogSince(mark), "Security permissions changed"));
    EXPECT_EQ(0600u, ModeOf(f.path));

    // ... and a store that has gone is written anew, restricted as it is made.
    ASSERT_EQ(0, ::unlink(f.path.c_str()));
    ASSERT_EQ(VORN_OK, f.store.WriteKeyValue("vorn", "x"));
    EXPECT_EQ(PrintedObject({{"vorn", "x"}}), ReadFile(f.path));
    EXPECT_EQ(0600u, ModeOf(f.path));
}

// A first write that fails leaves no store at all, never an empty one.
TEST(StoreFileImplTest, FailedFirstWriteLeavesNoEmptyStore) {
    StoreFixture f;
    // The temporary file cannot be made: the write fails before any rename.
    ASSERT_EQ(0, ::mkdir((f.path + ".tmp").c_str(), 0700));
    ASSERT_EQ(0, ::mkdir((f.path + ".tmp/x").c_str(), 0700));
    EXPECT_EQ(VORN_ERROR, f.store.WriteKeyValue("vorn", "v"));
    EXPECT_FALSE(FileExists(f.path));
    ASSERT_EQ(0, ::rmdir((f.path + ".tmp/x").c_str()));
    ASSERT_EQ(0, ::rmdir((f.path + ".tmp").c_str()));
    ASSERT_EQ(VORN_OK, f.store.WriteKeyValue("vorn", "v"));
    EXPECT_EQ(PrintedObject({{"vorn", "v"}}), ReadFile(f.path));
}

// The rename is only durable once the directory is flushed: a failed flush
// is an error, although readers already see the new store.
TEST(StoreFileImplTest, FailedDirectoryFlushIsAFailedWrite) {
    StoreFixture f;
    ASSERT_EQ(VORN_OK, f.store.WriteKeyValue("vorn", "v"));
    f.store.SetDirectoryFlushForTesting([](const std::string&) {
        errno = EIO;
        return false;
    });
    const size_t mark = LogMark();
    EXPECT_EQ(VORN_ERROR, f.store.WriteKeyValue("vorn", "w"));
    EXPECT_TRUE(Contains(LogSince(mark), "S: error :: Could not flush directory " + f.dir.path() +
                                             "; the new store may not survive a power loss"))
        << LogSince(mark);
    EXPECT_EQ(PrintedObject({{"vorn", "w"}}), ReadFile(f.path));
}

TEST(StoreFileImplTest, DeletedLockFileHealsForTheAgentButNotForAReader) {
    StoreFixture f;
    ASSERT_EQ(VORN_OK, f.store.WriteKeyValue("vorn", "v"));
    ASSERT_EQ(0, ::unlink((f.path + ".lck").c_str()));

    // A client that only looks creates nothing, so it cannot read.
    CVORNStoreFileImpl reader(CVORNStoreFileImpl::eOpenReadOnly);
    ASSERT_EQ(VORN_OK, reader.Initialize(f.path));
    size_t mark = LogMark();
    std::string value;
    EXPECT_EQ(VORN_FAILED, reader.ReadKeyValue("vorn", value));
    EXPECT_EQ("", value);
    EXPECT_TRUE(Contains(LogSince(mark), "Unexpected Exception ["));
    EXPECT_FALSE(FileExists(f.path + ".lck"));

    // The agent's next lock creates it again, owner-only.
    EXPECT_EQ(VORN_OK, f.store.ReadKeyValue("vorn", value));
    EXPECT_EQ("v", value);
    EXPECT_EQ(0600u, ModeOf(f.path + ".lck"));
    ASSERT_EQ(0, ::unlink((f.path + ".lck").c_str()));
    EXPECT_EQ(VORN_OK, f.store.WriteKeyValue("vorn", "w"));
    EXPECT_EQ(0600u, ModeOf(f.path + ".lck"));
    EXPECT_EQ(VORN_OK, reader.ReadKeyValue("vorn", value));
    EXPECT_EQ("w", value);
}

TEST(StoreFileImplTest, DamagedStoreIsMovedAsideAndTheThreeNewestCopiesKept) {
    StoreFixture f;
    std::time_t now = 1765324800;  // 2025-12-10T00:00:00Z
    f.store.SetClock([&] { return now; });
    const std::string damagedText = "{\"vorn\":\"x\",";
    std::vector<std::string> expected;
    for (int i = 0; i < 5; ++i) {
        WriteFile(f.path, damagedText + std::to_string(i));
        ASSERT_EQ(0, ::chmod(f.path.c_str(), 0644));
        const size_t mark = LogMark();
        ASSERT_EQ(VORN_OK, f.store.WriteKeyValues({{"vorn_token", "t"}, {"vorn", "v"}}));
        const std::string log = LogSince(mark);
        EXPECT_TRUE(Contains(log, "Couldn't parse json to write: [vorn_token]")) << log;
        EXPECT_TRUE(Contains(log, "Couldn't parse json to write: [vorn]")) << log;
        EXPECT_TRUE(Contains(log, "S: error :: Store " + f.path +
                                      " does not parse; moved aside to " + f.path +
                                      ".damaged-2025121"))
            << log;
        EXPECT_EQ(PrintedObject({{"vorn_token", "t"}, {"vorn", "v"}}), ReadFile(f.path));
        // The second damage within one second keeps both copies.
        if (i != 1) {
            now += 86400;
        }
    }
    const std::vector<std::string> copies = DamagedCopies(f.dir, "vornstore.json");
    EXPECT_EQ((std::vector<std::string>{"vornstore.json.damaged-20251211T000000Z-1",
                                        "vornstore.json.damaged-20251212T000000Z",
                                        "vornstore.json.damaged-20251213T000000Z"}),
              copies);
    for (size_t i = 0; i < copies.size(); ++i) {
        EXPECT_EQ(damagedText + std::to_string(i + 2), ReadFile(f.dir.file(copies[i])));
        EXPECT_EQ(0600u, ModeOf(f.dir.file(copies[i])));
    }

    // Reads never move anything: the next answer does.
    WriteFile(f.path, damagedText);
    std::string value;
    EXPECT_EQ(VORN_FAILED, f.store.ReadKeyValue("vorn", value));
    EXPECT_EQ(damagedText, ReadFile(f.path));
    EXPECT_EQ(3u, DamagedCopies(f.dir, "vornstore.json").size());
}

// Copies are pruned in the order they were made, whatever their names say:
// one named while the clock was behind is not the oldest.
TEST(StoreFileImplTest, DamagedCopyJustMadeIsKeptWhenTheClockIsBehind) {
    StoreFixture f;
    std::time_t now = 1765324800;  // 2025-12-10T00:00:00Z
    f.store.SetClock([&] { return now; });
    const auto damage = [&](const std::string& text) {
        WriteFile(f.path, text);
        ASSERT_EQ(VORN_OK, f.store.WriteKeyValue("vorn", "v"));
        // The change times of successive copies must differ (the kernel's
        // file times move in steps of a few milliseconds).
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    };
    damage("{1");
    now += 86400;
    damage("{2");
    now += 86400;
    damage("{3");
    now = 946684800;  // 2000-01-01: the clock is set back
    damage("{4");
    EXPECT_EQ((std::vector<std::string>{"vornstore.json.damaged-20000101T000000Z",
                                        "vornstore.json.damaged-20251211T000000Z",
                                        "vornstore.json.damaged-20251212T000000Z"}),
              DamagedCopies(f.dir, "vornstore.json"));
    damage("{5");
    EXPECT_EQ((std::vector<std::string>{"vornstore.json.damaged-20000101T000000Z",
                                        "vornstore.json.damaged-20000101T000000Z-1",
                                        "vornstore.json.damaged-20251212T000000Z"}),
              DamagedCopies(f.dir, "vornstore.json"));
    EXPECT_EQ("{5", ReadFile(f.dir.file("vornstore.json.damaged-20000101T000000Z-1")));
}

// Within one budget the lock requests share their waiting time, and after
// one was not granted the others fail at once.
TEST(StoreFileImplTest, LockBudgetIsSharedAndFailsFastOnceSpent) {
    StoreFixture f;
    ASSERT_EQ(VORN_OK, f.store.WriteKeyValue("vorn", "v"));
    auto holder = std::make_unique<CVORNFileLock>();
    std::string error;
    ASSERT_TRUE(holder->Lock(f.path + ".lck", CVORNFileLock::Mode::Exclusive, error)) << error;

    f.store.BeginLockBudget(std::chrono::milliseconds(300));
    const size_t mark = LogMark();
    auto start = std::chrono::steady_clock::now();
    std::string value;
    std::vector<std::string> values;
    int openError = 0;
    EXPECT_EQ(VORN_FAILED, f.store.ReadKeyValue("vorn", value));
    EXPECT_TRUE(f.store.LockRefused());
    EXPECT_EQ(VORN_FAILED, f.store.ReadKeyValues({"vorn"}, values, openError));
    EXPECT_EQ(VORN_ERROR, f.store.WriteKeyValue("vorn", "w"));
    EXPECT_EQ(VORN_FAILED, f.store.ReadKeyValue("vorn", value));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(280));
    EXPECT_LT(took, std::chrono::milliseconds(600));
    EXPECT_TRUE(Contains(LogSince(mark), "Store lock " + f.path +
                                             ".lck not requested: an earlier request was not "
                                             "granted"))
        << LogSince(mark);

    // A new budget starts afresh; a lock granted within it costs nothing.
    holder.reset();
    f.store.BeginLockBudget(std::chrono::milliseconds(300));
    EXPECT_FALSE(f.store.LockRefused());
    EXPECT_EQ(VORN_OK, f.store.WriteKeyValue("vorn", "w"));
    EXPECT_EQ(VORN_OK, f.store.ReadKeyValue("vorn", value));
    EXPECT_EQ("w", value);
    f.store.EndLockBudget();
    EXPECT_FALSE(f.store.LockRefused());
}

TEST(StoreFileImplTest, LockWaitsAreBoundedAndAbandonedAtShutdown) {
    StoreFixture f;
    ASSERT_EQ(VORN_OK, f.store.WriteKeyValue("vorn", "v"));
    // Another holder; open file description locks exclude it even within
    // one process, exactly as another process would be excluded.
    auto holder = std::make_unique<CVORNFileLock>();
    std::string error;
    ASSERT_TRUE(holder->Lock(f.path + ".lck", CVORNFileLock::Mode::Exclusive, error)) << error;

    f.store.SetLockTimeout(std::chrono::milliseconds(300));
    size_t mark = LogMark();
    auto start = std::chrono::steady_clock::now();
    std::string value;
    EXPECT_EQ(VORN_FAILED, f.store.ReadKeyValue("vorn", value));
    EXPECT_EQ(VORN_ERROR, f.store.WriteKeyValue("vorn", "w"));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(600));
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_TRUE(Contains(LogSince(mark), "Unexpected Exception [lock not granted within 300 ms: " +
                                             f.path + ".lck] "))
        << LogSince(mark);

    // A stop of the process ends the wait at once, whatever the bound.
    f.store.SetLockTimeout(std::chrono::seconds(60));
    RequestProcessStop();
    mark = LogMark();
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(VORN_ERROR, f.store.WriteKeyValue("vorn", "w"));
    took = std::chrono::steady_clock::now() - start;
    ClearProcessStopForTesting();
    EXPECT_LT(took, std::chrono::seconds(2));
    EXPECT_TRUE(Contains(LogSince(mark), "lock wait abandoned at shutdown")) << LogSince(mark);

    // Once the holder lets go, the store works and nothing was changed.
    holder.reset();
    EXPECT_EQ(VORN_OK, f.store.ReadKeyValue("vorn", value));
    EXPECT_EQ("v", value);
}

// What a planted entry does to each file of the store. The operations run
// with a deadline so that a FIFO that blocked would fail the test, not hang it.
TEST(StoreFileImplTest, PlantedLinksAndFifosAreRefusedWithoutBlocking) {
    enum class Plant { kLinkToFile, kDanglingLink, kFifo };
    const struct {
        const char* name;
        const char* file;  // suffix of the store path
        Plant plant;
        VORN_STATUS read;
        VORN_STATUS write;
    } cases[] = {
        {"store is a link", "", Plant::kLinkToFile, VORN_FAILED, VORN_ERROR},
        {"store is a FIFO", "", Plant::kFifo, VORN_FAILED, VORN_ERROR},
        {"lock file is a link", ".lck", Plant::kLinkToFile, VORN_FAILED, VORN_ERROR},
        {"lock file is a dangling link", ".lck", Plant::kDanglingLink, VORN_FAILED, VORN_ERROR},
        {"lock file is a FIFO", ".lck", Plant::kFifo, VORN_FAILED, VORN_ERROR},
        // The temporary file is created afresh: whatever sat there is gone.
        {"temporary file is a link", ".tmp", Plant::kLinkToFile, VORN_OK, VORN_OK},
        {"temporary file is a dangling link", ".tmp", Plant::kDanglingLink, VORN_OK, VORN_OK},
        {"temporary file is a FIFO", ".tmp", Plant::kFifo, VORN_OK, VORN_OK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        TempDir elsewhere;
        const std::string path = dir.file("vornstore.json");
        const std::string target = elsewhere.file("target");
        const std::string original = PrintedObject({{"vorn", "v"}});
        {
            CVORNStoreFileImpl seed;
            ASSERT_EQ(VORN_OK, seed.Initialize(path));
            ASSERT_EQ(VORN_OK, seed.WriteKeyValue("vorn", "v"));
        }
        const std::string planted = path + c.file;
        (void)::unlink(planted.c_str());
        if (c.plant == Plant::kFifo) {
            ASSERT_EQ(0, ::mkfifo(planted.c_str(), 0666));
        } else {
            if (c.plant == Plant::kLinkToFile) {
                WriteFile(target, original);
                ASSERT_EQ(0, ::chmod(target.c_str(), 0644));
            }
            ASSERT_EQ(0, ::symlink(target.c_str(), planted.c_str()));
        }

        auto run = std::async(std::launch::async, [&] {
            CVORNStoreFileImpl store;
            store.SetLockTimeout(std::chrono::milliseconds(200));
            EXPECT_EQ(VORN_OK, store.Initialize(path));
            std::string value;
            EXPECT_EQ(c.read, store.ReadKeyValue("vorn", value));
            EXPECT_EQ(c.write, store.WriteKeyValue("vorn", "w"));
        });
        ASSERT_EQ(std::future_status::ready, run.wait_for(std::chrono::seconds(10)));
        run.get();

        // The target is neither created, changed nor re-moded.
        if (c.plant == Plant::kLinkToFile) {
            EXPECT_EQ(original, ReadFile(target));
            EXPECT_EQ(0644u, ModeOf(target));
        } else {
            EXPECT_FALSE(FileExists(target));
        }
        if (c.write == VORN_OK) {
            EXPECT_EQ(PrintedObject({{"vorn", "w"}}), ReadFile(path));
            EXPECT_FALSE(FileExists(path + ".tmp"));
            struct stat info {};
            ASSERT_EQ(0, ::lstat(path.c_str(), &info));
            EXPECT_TRUE(S_ISREG(info.st_mode));
        }
    }
}

// As root, a data directory someone else could change is not used at all.
TEST(StoreFileImplTest, UnsafeDataDirectoryIsRefusedAsRoot) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root: the data directory check applies to a root agent only";
    }
    const struct {
        const char* name;
        mode_t mode;
        uid_t owner;
        const char* why;
    } cases[] = {
        {"writable by others", 0777, 0, "owned by uid 0 with mode 0777"},
        {"writable by group", 0770, 0, "owned by uid 0 with mode 0770"},
        {"owned by another user", 0700, 65534, "owned by uid 65534 with mode 0700"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.file("vornstore.json");
        ASSERT_EQ(0, ::chmod(dir.path().c_str(), c.mode));
        ASSERT_EQ(0, ::chown(dir.path().c_str(), c.owner, static_cast<gid_t>(-1)));
        const size_t mark = LogMark();
        CVORNStoreFileImpl store;
        EXPECT_EQ(VORN_OK, store.Initialize(path));
        std::string value;
        EXPECT_EQ(VORN_FAILED, store.ReadKeyValue("vorn", value));
        EXPECT_EQ(VORN_ERROR, store.WriteKeyValue("vorn", "v"));
        EXPECT_TRUE(Contains(LogSince(mark), "Data directory " + dir.path() + " refused: " + c.why +
                                                 "; it must be owned by root"))
            << LogSince(mark);
        EXPECT_FALSE(FileExists(path));
        EXPECT_FALSE(FileExists(path + ".lck"));
        // A client that only looks is not the agent: it may read there.
        CVORNStoreFileImpl reader(CVORNStoreFileImpl::eOpenReadOnly);
        EXPECT_EQ(VORN_OK, reader.Initialize(path));
        EXPECT_EQ(VORN_FAILED, reader.ReadKeyValue("vorn", value));
    }
}

// The field case: an unprivileged user owns the data directory and plants
// links to files of root's. The root agent touches none of them.
TEST(StoreFileImplTest, LinksPlantedByAnotherUserAreNeverFollowed) {
    if (::geteuid() != 0 || ::access("/usr/sbin/runuser", X_OK) != 0) {
        GTEST_SKIP() << "needs root and runuser to plant files as nobody";
    }
    TempDir dir;
    TempDir elsewhere;
    const std::string target = elsewhere.file("secret");
    WriteFile(target, "root's file");
    ASSERT_EQ(0, ::chmod(target.c_str(), 0644));
    ASSERT_EQ(0, ::chmod(elsewhere.path().c_str(), 0755));
    ASSERT_EQ(0, ::chown(dir.path().c_str(), 65534, 65534));
    ASSERT_EQ(0, ::chmod(dir.path().c_str(), 0755));
    const std::string path = dir.file("vornstore.json");
    for (const char* suffix : {"", ".lck", ".tmp"}) {
        const std::string command = "runuser -u nobody -- ln -s " + target + " " + path + suffix;
        ASSERT_EQ(0, std::system(command.c_str())) << command;
    }
    CVORNStoreFileImpl store;
    EXPECT_EQ(VORN_OK, store.Initialize(path));
    std::string value;
    EXPECT_EQ(VORN_FAILED, store.ReadKeyValue("vorn", value));
    EXPECT_EQ(VORN_ERROR, store.WriteKeyValue("vorn", "v"));
    EXPECT_EQ("root's file", ReadFile(target));
    EXPECT_EQ(0644u, ModeOf(target));
    struct stat info {};
    ASSERT_EQ(0, ::stat(target.c_str(), &info));
    EXPECT_EQ(0u, info.st_uid);
}

TEST(StoreFileImplTest, UninitialisedOrMissingOrDirectoryStoreFails) {
    CVORNStoreFileImpl none;
    EXPECT_EQ(VORN_OK, none.Initialize(""));
    size_t mark = LogMark();
    std::string value = "x";
    EXPECT_EQ(VORN_ERROR, none.ReadKeyValue("vorn", value));
    EXPECT_EQ("", value);
    EXPECT_EQ(VORN_ERROR, none.WriteKeyValue("vorn", "v"));
    EXPECT_TRUE(Contains(LogSince(mark), "CVORNStoreFileImpl not Initialized"));

    StoreFixture missing;
    mark = LogMark();
    EXPECT_EQ(VORN_FAILED, missing.store.ReadKeyValue("vorn", value));
    EXPECT_TRUE(Contains(LogSince(mark), "Couldn't open file : " + missing.path + " to read"));

    StoreFixture directory;
    ASSERT_EQ(0, ::mkdir(directory.path.c_str(), 0755));
    mark = LogMark();
    EXPECT_EQ(VORN_FAILED, directory.store.ReadKeyValue("vorn", value));
    EXPECT_EQ(VORN_ERROR, directory.store.WriteKeyValue("vorn", "v"));
    EXPECT_TRUE(Contains(LogSince(mark), "to read"));
    struct stat info {};
    ASSERT_EQ(0, ::stat(directory.path.c_str(), &info));
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(0755u, info.st_mode & 07777);
}

TEST(StoreFileImplTest, ReadOnlyStoreCreatesNothingAndNeverWrites) {
    TempDir dir;
    const std::string path = dir.file("vornstore.json");
    CVORNStoreFileImpl reader(CVORNStoreFileImpl::eOpenReadOnly);
    ASSERT_EQ(VORN_OK, reader.Initialize(path));
    std::string value;
    EXPECT_EQ(VORN_FAILED, reader.ReadKeyValue("vorn", value));
    EXPECT_EQ(VORN_ERROR, reader.WriteKeyValue("vorn", "v"));
    EXPECT_FALSE(FileExists(path));
    EXPECT_FALSE(FileExists(path + ".lck"));

    CVORNStoreFileImpl writer;
    ASSERT_EQ(VORN_OK, writer.Initialize(path));
    ASSERT_EQ(VORN_OK, writer.WriteKeyValue("vorn", "v"));
    // A shared lock needs no write access to the lock file.
    ASSERT_EQ(0, ::chmod((path + ".lck").c_str(), 0400));
    EXPECT_EQ(VORN_OK, reader.ReadKeyValue("vorn", value));
    EXPECT_EQ("v", value);
    EXPECT_EQ(VORN_ERROR, reader.WriteKeyValue("vorn", "w"));
    EXPECT_EQ(PrintedObject({{"vorn", "v"}}), ReadFile(path));
}

}  // namespace
}  // namespace vorn
