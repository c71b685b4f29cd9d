// The typed, caching reader/writer over the store file.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <string>

#include "agent/vornstorereaderwriter.h"
#include "tests/support/testsupport.h"

namespace vorn {
namespace {

using std::chrono::seconds;
using test::FileExists;
using test::LogMark;
using test::LogSince;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;
using Store = CVORNStoreReaderWriter;

bool Contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

struct StoreFixture {
    TempDir dir;
    std::string path = dir.file("vornstore.json");
    Store store;
    StoreFixture() { EXPECT_EQ(VORN_OK, store.Initialize(Store::eStoreTypeFile, path)); }
};

TEST(StoreReaderWriterTest, MissingValuesAreLookedUpAndWarnedEveryTime) {
    StoreFixture f;
    for (int i = 0; i < 2; ++i) {
        const size_t mark = LogMark();
        EXPECT_EQ("", f.store.GetVORN());
        EXPECT_EQ("", f.store.GetToken());
        EXPECT_EQ("", f.store.GetInstanceKey());
        EXPECT_EQ(seconds(0), f.store.GetRetryTimestamp());
        const std::string log = LogSince(mark);
        EXPECT_TRUE(Contains(log, "Fetching VORN failed. Returning VORN = []"));
        EXPECT_TRUE(Contains(log, "Fetching Token failed. Returning Token = []"));
        EXPECT_TRUE(Contains(log, "Fetching Instance key failed. Returning empty key."));
        EXPECT_TRUE(
            Contains(log, "Fetching Retry timestamp failed. Returning Retry After Seconds = 0"));
    }
}

TEST(StoreReaderWriterTest, ValueSetIsServedFromCacheWithoutReadingTheFile) {
    StoreFixture f;
    ASSERT_EQ(VORN_OK, f.store.SetToken("token-a"));
    ASSERT_EQ(VORN_OK, f.store.SetRetryTimestamp(seconds(1700000000)));
    // Someone else rewrites the file; this run keeps what it set.
    WriteFile(f.path, "{\"vorn_token\": \"token-b\", \"retry-after\": \"5\"}");
    const size_t mark = LogMark();
    EXPECT_EQ("token-a", f.store.GetToken());
    EXPECT_EQ(seconds(1700000000), f.store.GetRetryTimestamp());
    EXPECT_FALSE(Contains(LogSince(mark), "Parsed JSON to Read"));

    // A value read once is cached as well.
    Store other;
    ASSERT_EQ(VORN_OK, other.Initialize(Store::eStoreTypeFile, f.path));
    EXPECT_EQ("token-b", other.GetToken());
    WriteFile(f.path, "{}");
    EXPECT_EQ("token-b", other.GetToken());
}

TEST(StoreReaderWriterTest, FailedSetKeepsTheCachedValue) {
    StoreFixture f;
    ASSERT_EQ(VORN_OK, f.store.SetVORN("good"));
    const std::string broken = "{\"vorn\": 5}";
    WriteFile(f.path, broken);
    const size_t mark = LogMark();
    EXPECT_EQ(VORN_ERROR, f.store.SetVORN("bad"));
    EXPECT_EQ(VORN_ERROR, f.store.SetIdentity("t", "bad", "k"));
    const std::string log = LogSince(mark);
    EXPECT_TRUE(Contains(log, "Setting VORN failed"));
    EXPECT_TRUE(Contains(log, "Setting Token failed"));
    EXPECT_TRUE(Contains(log, "Setting Instance Key failed"));
    EXPECT_EQ("good", f.store.GetVORN());
    EXPECT_EQ(broken, ReadFile(f.path));
}

TEST(StoreReaderWriterTest, SetIdentityWritesOneAnswerAndSkipsAnEmptyInstanceKey) {
    StoreFixture f;
    size_t mark = LogMark();
    ASSERT_EQ(VORN_OK, f.store.SetIdentity("t1", "v1", "k1"));
    std::string log = LogSince(mark);
    EXPECT_TRUE(Contains(log, "Setting Token done"));
    EXPECT_TRUE(Contains(log, "VORN updated"));
    EXPECT_TRUE(Contains(log, "Setting Instance Key done"));
    EXPECT_EQ("{\n\t\"vorn_token\":\t\"t1\",\n\t\"vorn\":\t\"v1\",\n\t\"instance_key\":\t\"k1\"\n}",
              ReadFile(f.path));

    mark = LogMark();
    ASSERT_EQ(VORN_OK, f.store.SetIdentity("t2", "v2", ""));
    EXPECT_FALSE(Contains(LogSince(mark), "Instance Key"));
    EXPECT_EQ("{\n\t\"vorn_token\":\t\"t2\",\n\t\"vorn\":\t\"v2\",\n\t\"instance_key\":\t\"k1\"\n}",
              ReadFile(f.path));
    EXPECT_EQ("t2", f.store.GetToken());
    EXPECT_EQ("v2", f.store.GetVORN());
    EXPECT_EQ("k1", f.store.GetInstanceKey());
}

TEST(StoreReaderWriterTest, RetryTimestampTexts) {
    struct Case {
        const char* stored;  // nullptr: no "retry-after" member
        long long expected;
        bool warns;
    };
    const Case cases[] = {
        {"1700000000", 1700000000, false},
        {"4294967296", 4294967296LL, false},  // beyond 32 bits, unchanged
        {"9223372036854775807", LLONG_MAX, false},
        {"-5", -5, false},
        {"  42abc", 42, false},
        {"abc", 0, true},
        {"", 0, true},
        {nullptr, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored ? c.stored : "(missing)");
        StoreFixture f;
        WriteFile(f.path, c.stored ? std::string("{\"retry-after\": \"") + c.stored + "\"}"
                                   : std::string("{\"vorn\": \"v\"}"));
        const size_t mark = LogMark();
        EXPECT_EQ(seconds(c.expected), f.store.GetRetryTimestamp());
        const std::string log = LogSince(mark);
        EXPECT_EQ(c.warns, Contains(log,
                                    "Fetching Retry timestamp failed. Returning Retry After "
                                    "Seconds = 0"))
            << log;
        if (!c.warns) {
            EXPECT_TRUE(
                Contains(log, "Getting Retry Timestamp = [" + std::to_string(c.expected) + "]"));
        }
    }
}

TEST(StoreReaderWriterTest, RetryTimestampIsStoredAsDecimalText) {
    StoreFixture f;
    ASSERT_EQ(VORN_OK, f.store.SetRetryTimestamp(seconds(-12)));
    EXPECT_EQ("{\n\t\"retry-after\":\t\"-12\"\n}", ReadFile(f.path));
    ASSERT_EQ(VORN_OK, f.store.SetRetryTimestamp(seconds(8589934592LL)));
    EXPECT_EQ("{\n\t\"retry-after\":\t\"8589934592\"\n}", ReadFile(f.path));
}

TEST(StoreReaderWriterTest, FreshProcessReadsWhatAnotherWrote) {
    StoreFixture f;
    ASSERT_EQ(VORN_OK, f.store.SetIdentity("token-x", "vorn-x", "key-x"));
    ASSERT_EQ(VORN_OK, f.store.SetRetryTimestamp(seconds(5000000000LL)));
    const size_t mark = LogMark();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Store fresh;
        const bool same = fresh.Initialize(Store::eStoreTypeFile, f.path) == VORN_OK &&
                          fresh.GetToken() == "token-x" && fresh.GetVORN() == "vorn-x" &&
                          fresh.GetInstanceKey() == "key-x" &&
                          fresh.GetRetryTimestamp() == seconds(5000000000LL);
        ::_exit(same ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_TRUE(Contains(LogSince(mark), "Getting Retry Timestamp = [5000000000]"));
}

TEST(StoreReaderWriterTest, UnknownStoreTypeLeavesItUninitialised) {
    TempDir dir;
    Store store;
    size_t mark = LogMark();
    EXPECT_EQ(VORN_INVALID_ARGUMENT, store.Initialize(2, dir.file("vornstore.json")));
    EXPECT_TRUE(Contains(LogSince(mark), "Init failed. Invalid Store Type"));

    mark = LogMark();
    EXPECT_EQ(VORN_ERROR, store.SetVORN("v"));
    EXPECT_EQ(VORN_ERROR, store.SetToken("t"));
    EXPECT_EQ(VORN_ERROR, store.SetInstanceKey("k"));
    EXPECT_EQ(VORN_ERROR, store.SetRetryTimestamp(seconds(1)));
    EXPECT_EQ(VORN_ERROR, store.SetIdentity("t", "v", "k"));
    std::string log = LogSince(mark);
    EXPECT_TRUE(Contains(log, "Setting VORN failed - Initialize not done"));
    EXPECT_TRUE(Contains(log, "Setting Token failed - Initialize not done"));
    EXPECT_TRUE(Contains(log, "Setting Instance Key failed - Initialize not done"));
    EXPECT_TRUE(Contains(log, "Setting Retry After timestamp failed - Initialization not done"));

    mark = LogMark();
    EXPECT_EQ("", store.GetVORN());
    EXPECT_EQ("", store.GetToken());
    EXPECT_EQ("", store.GetInstanceKey());
    EXPECT_EQ(seconds(0), store.GetRetryTimestamp());
    EXPECT_EQ("", LogSince(mark));
    EXPECT_FALSE(FileExists(dir.file("vornstore.json")));

    // A good Initialize afterwards works; a bad one keeps the good back end.
    ASSERT_EQ(VORN_OK, store.Initialize(Store::eStoreTypeFile, dir.file("vornstore.json")));
    EXPECT_EQ(VORN_INVALID_ARGUMENT, store.Initialize(0, dir.file("other.json")));
    EXPECT_EQ(VORN_OK, store.SetVORN("v"));
    EXPECT_TRUE(FileExists(dir.file("vornstore.json")));
}

TEST(StoreReaderWriterTest, ReadOnlyViewReadsButNeverWritesOrCreates) {
    StoreFixture f;
    Store viewer;
    TempDir empty;
    ASSERT_EQ(VORN_OK, viewer.InitializeReadOnly(Store::eStoreTypeFile, empty.file("none.json")));
    EXPECT_EQ("", viewer.GetVORN());
    EXPECT_FALSE(FileExists(empty.file("none.json.lck")));

    ASSERT_EQ(VORN_OK, f.store.SetIdentity("t", "v", "k"));
    ASSERT_EQ(VORN_OK, viewer.InitializeReadOnly(Store::eStoreTypeFile, f.path));
    EXPECT_EQ("v", viewer.GetVORN());
    EXPECT_EQ(VORN_ERROR, viewer.SetVORN("w"));
    EXPECT_EQ("v", viewer.GetVORN());
}

TEST(StoreReaderWriterTest, ProcessInstanceIsOneObject) {
    EXPECT_EQ(&Store::GetInstance(), &Store::GetInstance());
}

// What a rate-limit answer was made from goes with its timestamp in one
// change, and a text that is not two numbers reads as none.
TEST(StoreReaderWriterTest, RetryAfterReceivedIsStoredWithTheTimestamp) {
    StoreFixture f;
    ASSERT_EQ(VORN_OK,
              f.store.SetRetryAfter(seconds(1700000060), {seconds(60), seconds(1700000000)}));
    EXPECT_TRUE(Contains(ReadFile(f.path), "\"retry-after-received\":\t\"60 1700000000\""));
    Store fresh;
    ASSERT_EQ(VORN_OK, fresh.Initialize(Store::eStoreTypeFile, f.path));
    EXPECT_EQ(seconds(1700000060), fresh.GetRetryTimestamp());
    const IVORNIdentityStore::RetryAfterReceived received = fresh.GetRetryAfterReceived();
    EXPECT_EQ(seconds(60), received.seconds);
    EXPECT_EQ(seconds(1700000000), received.at);

    for (const char* text : {"60", "60 x", "x 1700000000", "-5 1700000000", "60 1700000000 7"}) {
        SCOPED_TRACE(text);
        WriteFile(f.path, std::string("{\"retry-after-received\": \"") + text + "\"}");
        Store other;
        ASSERT_EQ(VORN_OK, other.Initialize(Store::eStoreTypeFile, f.path));
        EXPECT_EQ(seconds(0), other.GetRetryAfterReceived().seconds);
    }
}

// One refresh reads the store once: until EndRefresh the getters do not go
// back to the file, even for values it does not hold.
TEST(StoreReaderWriterTest, RefreshReadsTheStoreOnce) {
    StoreFixture f;
    WriteFile(f.path, R"({"vorn":"v","vorn_token":"t","retry-after":"5"})");
    ASSERT_EQ(VORN_OK, f.store.BeginRefresh());
    // Changed behind the reader's back: the refresh keeps what it read.
    WriteFile(f.path, R"({"vorn":"w","vorn_token":"u","instance_key":"k","retry-after":"9"})");
    const size_t mark = LogMark();
    EXPECT_EQ("v", f.store.GetVORN());
    EXPECT_EQ("t", f.store.GetToken());
    EXPECT_EQ("", f.store.GetInstanceKey());
    EXPECT_EQ(seconds(5), f.store.GetRetryTimestamp());
    EXPECT_EQ(seconds(0), f.store.GetRetryAfterReceived().seconds);
    EXPECT_FALSE(Contains(LogSince(mark), "Fetching"));
    f.store.EndRefresh();
    // Afterwards a missing value is looked up again.
    EXPECT_EQ("k", f.store.GetInstanceKey());

    // No store yet is nothing stored, not a failure.
    StoreFixture empty;
    EXPECT_EQ(VORN_OK, empty.store.BeginRefresh());
    EXPECT_EQ("", empty.store.GetVORN());
    empty.store.EndRefresh();
}

}  // namespace
}  // namespace vorn
