// The conversation between a crashing process and the sibling product's crash
// server, which writes the dump from outside the crashed process.
//
// Transport: a SOCK_SEQPACKET Unix socket in the abstract namespace, name
// "BREVANE_CRASH" (no leading path, no terminator: the address is the byte 0
// followed by the name). Every message is one packet of the fixed size below,
// in the byte order of the machine (both ends run on the same host). One
// connection carries one request and at most one reply.
//
//   CrashRequest (client → server), 256 bytes:
//     off  size  field
//       0     4  magic       kCrashMagic ("VCRQ" read as little-endian u32)
//       4     2  version     kCrashProtocolVersion (1)
//       6     2  type        1 = register, 2 = crash
//       8     4  pid         the client's process id
//      12     4  tid         crashing thread id (crash only, else 0)
//      16     4  signo       signal number (crash only)
//      20     4  code        si_code of the signal (crash only)
//      24     8  address     si_addr of the signal (crash only)
//      32     4  dumpType    2 = all memory, otherwise stacks only
//      36     4  regsSize    bytes used in regs (sizeof(user_regs_struct))
//      40   216  regs        the crashing thread's general registers at the
//                            fault, in the kernel's user_regs_struct layout
//                            (crash only)
//
//   CrashReply (server → client), 16 bytes:
//       0     4  magic       kCrashMagic
//       4     2  version     kCrashProtocolVersion
//       6     2  type        1 = registered, 2 = dump written, 3 = dump failed
//       8     4  status      0, or an errno value explaining a failure
//      12     4  reserved    0
//
// Register: sent once at set-up; the server answers "registered". Crash: the
// client first allows the server to trace it (PR_SET_PTRACER), then sends the
// request and waits, bounded, for "dump written"; the server reads the
// client's memory through /proc/<pid>/mem while the client waits. Anything
// else — no server, a peer the client does not trust, a short or foreign
// reply, "dump failed", no reply in time — makes the client write the dump
// itself.
//
// Trust: the abstract namespace has no file permissions, so anybody could bind
// the name. The client talks only to a peer whose SO_PEERCRED shows root or
// the client's own effective user.
//
// Every function here is async-signal-safe (system calls only) so the crash
// path can use it.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <sys/user.h>

#include <cstddef>
#include <cstdint>

namespace vorn {

constexpr const char* kCrashServerName = "BREVANE_CRASH";
constexpr uint32_t kCrashMagic = 0x51524356;  // "VCRQ"
constexpr uint16_t kCrashProtocolVersion = 1;

enum eCrashRequestType : uint16_t { eCrashRequestRegister = 1, eCrashRequestCrash = 2 };
enum eCrashReplyType : uint16_t {
    eCrashReplyRegistered = 1,
    eCrashReplyDumpWritten = 2,
    eCrashReplyDumpFailed = 3
};

struct CrashRequest {
    uint32_t magic;
    uint16_t version;
    uint16_t type;
    int32_t pid;
    int32_t tid;
    int32_t signo;
    int32_t code;
    uint64_t address;
    int32_t dumpType;
    uint32_t regsSize;
    unsigned char regs[216];
};
static_assert(sizeof(CrashRequest) == 256, "the request's size is part of the protocol");
static_assert(sizeof(user_regs_struct) <= sizeof(CrashRequest::regs),
              "registers must fit the request");

struct CrashReply {
    uint32_t magic;
    uint16_t version;
    uint16_t type;
    int32_t status;
    uint32_t reserved;
};
static_assert(sizeof(CrashReply) == 16, "the reply's size is part of the protocol");

// Fills 'address' with the abstract address of 'name'; returns its length for
// bind/connect, or 0 when the name does not fit.
socklen_t MakeCrashServerAddress(const char* name, struct sockaddr_un* address);

// Connects (non-blocking, close-on-exec) to the server named 'name' and checks
// the peer's credentials. Returns the socket, or -1 when there is no server,
// its backlog is full or it is not trusted. *serverPid receives the peer's pid.
int ConnectToCrashServer(const char* name, pid_t* serverPid);

// Whether a peer with user id 'uid' may receive our crashes.
bool IsTrustedCrashPeer(uid_t uid);

// Sends 'request' and waits at most timeoutMs for a well-formed reply.
// Returns true and fills *reply when one arrived in time. Gives up early
// (false) once 'abandonFd', when not -1, polls readable. Async-signal-safe.
bool ExchangeCrashMessage(int fd, const CrashRequest& request, int timeoutMs, CrashReply* reply,
                          int abandonFd = -1);

}  // namespace vorn
