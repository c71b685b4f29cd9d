// Test entry point: every test binary logs into its own scratch file, so log
// lines can be asserted and no test writes outside its temporary directories.
#include <gtest/gtest.h>

#include <memory>

#include "common/vornlogger.h"
#include "tests/support/testsupport.h"

namespace vorn::test {

namespace {
std::unique_ptr<TempDir>& LogDir() {
    static std::unique_ptr<TempDir> dir;
    return dir;
}
}  // namespace

std::string TestLogPath() {
    return LogDir()->file("test.log");
}

}  // namespace vorn::test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    vorn::test::LogDir() = std::make_unique<vorn::test::TempDir>();
    CVORNLogger::GetInstance(vorn::test::TestLogPath()).SetLogLevel(CVORNLogger::kVerbose);
    const int result = RUN_ALL_TESTS();
    return result;
}
