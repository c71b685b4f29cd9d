// The store file back end: file format, key handling, bad files, locking
// preconditions, permissions and the atomic replace.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

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
        {"truncated.json", VORN_FAILED, "", "Couldn't parse json to read: vorn", VORN_ERROR,
         "Couldn't parse json to write: [vorn]", nullptr},
        {"notjson.json", VORN_FAILED, "", "Couldn't parse json to read: vorn", VORN_ERROR,
         "Couldn't parse json to write: [vorn]", nullptr},
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

    size_t mark = LogMark();
    ASSERT_EQ(VORN_OK, f.store.WriteKeyValue("vorn", "v"));
    EXPECT_TRUE(Contains(LogSince(mark), "Security permissions changed on target file: " + f.path));
    EXPECT_EQ(0600u, ModeOf(f.path));
    if (::geteuid() == 0) {
        struct stat info {};
        ASSERT_EQ(0, ::stat(f.path.c_str(), &info));
        EXPECT_EQ(0u, info.st_uid);
    }

    // Once applied in this run, later writes leave the permissions alone ...
    mark = LogMark();
    ASSERT_EQ(VORN_OK, f.store.WriteKeyValue("vorn", "w"));
    EXPECT_FALSE(Contains(LogSince(mark), "Security permissions changed"));
    EXPECT_EQ(0600u, ModeOf(f.path));

    // ... unless the store file has gone.
    ASSERT_EQ(0, ::unlink(f.path.c_str()));
    mark = LogMark();
    ASSERT_EQ(VORN_OK, f.store.WriteKeyValue("vorn", "x"));
    EXPECT_TRUE(Contains(LogSince(mark), "Security permissions changed on target file: " + f.path));
    EXPECT_EQ(PrintedObject({{"vorn", "x"}}), ReadFile(f.path));
}

TEST(StoreFileImplTest, ReadsFailWithoutLockFileUntilReinitialised) {
    StoreFixture f;
    ASSERT_EQ(VORN_OK, f.store.WriteKeyValue("vorn", "v"));
    ASSERT_EQ(0, ::unlink((f.path + ".lck").c_str()));

    size_t mark = LogMark();
    std::string value;
    EXPECT_EQ(VORN_FAILED, f.store.ReadKeyValue("vorn", value));
    EXPECT_EQ("", value);
    EXPECT_EQ(VORN_ERROR, f.store.WriteKeyValue("vorn", "w"));
    EXPECT_TRUE(Contains(LogSince(mark), "Unexpected Exception ["));
    EXPECT_EQ(PrintedObject({{"vorn", "v"}}), ReadFile(f.path));

    CVORNStoreFileImpl again;
    ASSERT_EQ(VORN_OK, again.Initialize(f.path));
    EXPECT_TRUE(FileExists(f.path + ".lck"));
    EXPECT_EQ(VORN_OK, again.ReadKeyValue("vorn", value));
    EXPECT_EQ("v", value);
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
