// Writes an ELF core file of a process, readable by `gdb <binary> <core>`.
//
// Used in two places: inside the crashing process, from a signal handler, and
// by a crash server writing the dump of another process. Everything here is
// therefore async-signal-safe: system calls only, no heap, no locks, no stdio.
// The working memory comes from a CoreDumpScratch reserved ahead of time.
//
// The file holds, in this order: the ELF header, a PT_NOTE program header and
// one PT_LOAD per readable mapping of /proc/<pid>/maps, the notes
// (NT_PRSTATUS with the crashing thread's registers, NT_PRPSINFO, NT_SIGINFO,
// NT_AUXV so gdb can place a position-independent executable, NT_FILE naming
// the file behind each mapping, NT_FPREGSET when floating-point state is
// known), then the memory of each PT_LOAD, page aligned.
//
// Which memory is written (p_filesz; p_memsz always covers the whole mapping):
// - all memory: anonymous mappings (heap, stacks, [vdso], memfd, deleted
//   files) and every writable file mapping in full; read-only mappings of
//   files that still exist only their first page when it is the file's start
//   (the ELF header that identifies the file) — their contents are the files
//   on disk, which is where gdb reads them from, as the kernel's own core
//   dumps do;
// - stacks only: the mapping that holds the crashing thread's stack pointer,
//   writable file mappings (the dynamic linker's list of loaded libraries
//   lives there) and [vdso], the rest as above.
// Device mappings (/dev/..., except /dev/zero) and [vvar]/[vsyscall] are never
// read. Pages that read as zero are left as holes (the file is sparse), and a
// page that cannot be read (unmapped meanwhile, beyond a file's end) is zero.
// Other threads keep running while the dump is written; their registers are
// not recorded.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <sys/user.h>
#include <ucontext.h>

#include <cstddef>

namespace vorn {

// Working memory for one dump: mapped once, without reserving swap, and only
// touched when a dump is written.
struct CoreDumpScratch {
    void* memory = nullptr;
    size_t size = 0;
};

// Maps the scratch memory; false when the mapping fails. Not for signal
// handlers (call it at set-up). The memory is never given back: a handler may
// still use it on another thread.
bool ReserveCoreDumpScratch(CoreDumpScratch* scratch);

struct CoreDumpRequest {
    pid_t pid = 0;                           // the process to dump (may be our own)
    pid_t tid = 0;                           // the crashing thread
    int signo = 0;                           // the signal that ends it
    int code = 0;                            // its si_code
    unsigned long long address = 0;          // its si_addr
    const user_regs_struct* regs = nullptr;  // the crashing thread's registers
    const void* fpregs = nullptr;            // NT_FPREGSET contents, or nullptr
    size_t fpregsSize = 0;
    bool fullMemory = true;  // false: stacks only (see above)
};

// Writes the core of request.pid into fd (a new, empty regular file). Returns
// 0, or an errno value when the file could not be written completely.
int WriteCoreDump(int fd, const CoreDumpRequest& request, const CoreDumpScratch& scratch);

// Copies the general registers of a signal context into the kernel's layout;
// *fpregs/*fpregsSize receive the floating-point state, when the context has
// one. 'fsBase' is the thread pointer (only the crashing thread itself can
// give it, since the context does not hold it).
void RegistersFromContext(const ucontext_t& context, unsigned long long fsBase,
                          user_regs_struct* regs, const void** fpregs, size_t* fpregsSize);

// Async-signal-safe helpers shared with the crash handler.
size_t SafeStrlen(const char* text);
// Appends text to buffer[*used..size-1], keeping it terminated; false when cut.
bool SafeAppend(char* buffer, size_t size, size_t* used, const char* text);
bool SafeAppendNumber(char* buffer, size_t size, size_t* used, unsigned long long value);

}  // namespace vorn
