#include "common/helpermessages.h"

#include <atomic>
#include <cstdio>

namespace vorn {

namespace {

std::atomic<bool>& Quiet() {
    static std::atomic<bool> quiet{false};
    return quiet;
}

}  // namespace

void HelperMessage(const char* line) {
    if (!Quiet().load(std::memory_order_relaxed)) {
        std::fputs(line, stderr);
    }
}

void SetHelperMessagesQuiet(bool quiet) {
    Quiet().store(quiet, std::memory_order_relaxed);
}

}  // namespace vorn
