// Crash handling for the whole process: installs the crash catcher, offering
// every crash to the sibling product's crash server first and writing the
// dump itself (an ELF core file, see coredumpwriter.h) into the dump
// directory when the server is not there.
//
// The entry point creates one client right after the logger, with the data
// directory, and calls SetupCrashHandler before any other thread starts. The
// installed handler belongs to the process, not to the client: it stays until
// process exit (or until a later SetupCrashHandler replaces it); a client
// that goes away only stops receiving CrashHandled.
#pragma once

#include <string>

#include "agent/linux/crashexceptionhandler.h"

class CrashHandlerClient {
public:
    // Stores both; installs nothing. dumpType 2 asks for all memory, any other
    // value for the stacks only.
    CrashHandlerClient(const std::wstring& dumpDirectory, int dumpType);
    // Same, talking to the crash server as 'server' says (name and time
    // bounds; tests use their own server name).
    CrashHandlerClient(const std::wstring& dumpDirectory, int dumpType,
                       const vorn::CrashServerOptions& server);
    ~CrashHandlerClient();
    CrashHandlerClient(const CrashHandlerClient&) = delete;
    CrashHandlerClient& operator=(const CrashHandlerClient&) = delete;

    // Installs the process's crash handler, replacing an earlier one. Returns
    // false, installing nothing, when the dump directory is empty; true
    // otherwise. Logs "Dump directory [...]" and whether the crash server took
    // the registration. Call before other threads exist.
    bool SetupCrashHandler();

    // Reports a handled crash (runs on the crashed thread, in signal
    // context): the dump file ("" when the server wrote it), whether the
    // server wrote it, and whether a dump exists at all.
    void CrashHandled(const char* dumpPath, bool outOfProcess, bool succeeded);

private:
    std::wstring m_strDumpDirectory;
    std::string m_strDumpDirectoryUtf8;  // converted ahead: the crash path may not allocate
    int m_nDumpType;
    vorn::CrashServerOptions m_server;
};
