#include "agent/linux/crashhandlerclient.h"

#include <memory>
#include <mutex>

#include "common/vornlogger.h"
#include "common/vornutils.h"

namespace {

// The one installed handler of the process. Destroyed at process exit, which
// restores the signal dispositions it replaced.
struct HandlerOwner {
    std::mutex mutex;
    std::unique_ptr<vorn::CCrashExceptionHandler> handler;
};

HandlerOwner& Owner() {
    static HandlerOwner owner;
    return owner;
}

bool MinidumpCallback(const char* dumpPath, bool outOfProcess, void* context, bool succeeded) {
    if (context != nullptr) {
        static_cast<CrashHandlerClient*>(context)->CrashHandled(dumpPath, outOfProcess, succeeded);
    }
    return succeeded;
}

}  // namespace

CrashHandlerClient::CrashHandlerClient(const std::wstring& dumpDirectory, int dumpType)
    : CrashHandlerClient(dumpDirectory, dumpType, vorn::CrashServerOptions()) {}

CrashHandlerClient::CrashHandlerClient(const std::wstring& dumpDirectory, int dumpType,
                                       const vorn::CrashServerOptions& server)
    : m_strDumpDirectory(dumpDirectory),
      m_strDumpDirectoryUtf8(vorn::WideToUTF8(dumpDirectory)),
      m_nDumpType(dumpType),
      m_server(server) {}

CrashHandlerClient::~CrashHandlerClient() {
    HandlerOwner& owner = Owner();
    std::lock_guard<std::mutex> lock(owner.mutex);
    if (owner.handler) {
        owner.handler->DetachContext(this);
    }
}

bool CrashHandlerClient::SetupCrashHandler() {
    if (m_strDumpDirectory.empty()) {
        return false;
    }
    const std::string& directory = m_strDumpDirectoryUtf8;
    VORN_LOG_DEBUG("Dump directory [%s]", directory.c_str());

    HandlerOwner& owner = Owner();
    bool outOfProcess = false;
    {
        std::lock_guard<std::mutex> lock(owner.mutex);
        // The old handler goes first, so the new one records the dispositions
        // that were there before any of ours.
        owner.handler.reset();
        owner.handler = std::make_unique<vorn::CCrashExceptionHandler>(
            directory, m_nDumpType, MinidumpCallback, this, m_server);
        outOfProcess = owner.handler->IsOutOfProcess();
    }
    if (outOfProcess) {
        VORN_LOG_DEBUG(" OOP Crash Handler Created");
    } else {
        VORN_LOG_WARNING("OOP Not created. Crashes will be handled locally");
    }
    return true;
}

void CrashHandlerClient::CrashHandled(const char* dumpPath, bool outOfProcess, bool succeeded) {
    if (!succeeded) {
        // Saying "created" here would send someone looking for a file that
        // does not exist.
        VORN_LOG_ERROR("Crash Dump could not be written to [%s]", m_strDumpDirectoryUtf8.c_str());
        return;
    }
    VORN_LOG_DEBUG("Crash Dump Created");
    if (!outOfProcess) {
        VORN_LOG_WARNING("Crash was not created OOP. Dump not updated");
        VORN_LOG_DEBUG("Dump file [%s]", dumpPath);
    }
}
