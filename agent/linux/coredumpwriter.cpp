#include "agent/linux/coredumpwriter.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/procfs.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace vorn {

namespace {

constexpr size_t kPage = 4096;  // the unit of mappings and of sparse holes
constexpr size_t kIoBufferSize = 256 * 1024;
constexpr size_t kMapsBufferSize = 64 * 1024;
constexpr size_t kFileBufferSize = 16 * 1024;  // auxv, cmdline
constexpr size_t kMaxMappings = 16384;         // far above a daemon's few hundred
constexpr size_t kNamePoolSize = 2 * 1024 * 1024;

struct Mapping {
    uint64_t start;
    uint64_t end;
    uint64_t offset;
    uint64_t dumpBytes;
    uint32_t flags;  // PF_R | PF_W | PF_X
    uint32_t nameOffset;
    uint32_t nameLength;       // 0: anonymous
    uint16_t isFile;           // backed by a file that NT_FILE names
    uint8_t hasPrivateCopies;  // pages written since mapping: differ from the file
    uint8_t dontDump;          // MADV_DONTDUMP
};

struct ScratchLayout {
    char* io;
    char* maps;
    char* file;
    Mapping* mappings;
    char* names;
};

constexpr size_t kScratchSize = kIoBufferSize + kMapsBufferSize + kFileBufferSize +
                                kMaxMappings * sizeof(Mapping) + kNamePoolSize;

ScratchLayout Layout(const CoreDumpScratch& scratch) {
    char* p = static_cast<char*>(scratch.memory);
    ScratchLayout l{};
    l.io = p;
    p += kIoBufferSize;
    l.maps = p;
    p += kMapsBufferSize;
    l.file = p;
    p += kFileBufferSize;
    l.mappings = reinterpret_cast<Mapping*>(p);
    p += kMaxMappings * sizeof(Mapping);
    l.names = p;
    return l;
}

bool StartsWith(const char* text, size_t length, const char* prefix) {
    const size_t n = SafeStrlen(prefix);
    return length >= n && memcmp(text, prefix, n) == 0;
}

bool EndsWith(const char* text, size_t length, const char* suffix) {
    const size_t n = SafeStrlen(suffix);
    return length >= n && memcmp(text + length - n, suffix, n) == 0;
}

// Parses hex digits at *p; advances past them.
uint64_t ParseHex(const char** p, const char* end) {
    uint64_t value = 0;
    while (*p < end) {
        const char c = **p;
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            break;
        }
        value = value * 16 + static_cast<uint64_t>(digit);
        ++*p;
    }
    return value;
}

void SkipField(const char** p, const char* end) {
    while (*p < end && **p != ' ') {
        ++*p;
    }
    while (*p < end && **p == ' ') {
        ++*p;
    }
}

void BuildProcPath(char* out, size_t size, pid_t pid, const char* leaf) {
    size_t used = 0;
    out[0] = '\0';
    SafeAppend(out, size, &used, "/proc/");
    SafeAppendNumber(out, size, &used, static_cast<unsigned long long>(pid));
    SafeAppend(out, size, &used, "/");
    SafeAppend(out, size, &used, leaf);
}

// Reads a whole small /proc file; returns its length (0 on failure).
size_t ReadSmallFile(pid_t pid, const char* leaf, char* buffer, size_t size) {
    char path[64];
    BuildProcPath(path, sizeof path, pid, leaf);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    size_t used = 0;
    while (used < size) {
        const ssize_t n = read(fd, buffer + used, size - used);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        used += static_cast<size_t>(n);
    }
    close(fd);
    return used;
}

struct Snapshot {
    Mapping* mappings;
    size_t count;
    char* names;
    size_t namesUsed;
};

// A field line of /proc/<pid>/smaps ("Anonymous:   12 kB", "VmFlags: rd wr dd")
// about the mapping added last.
void AddMappingField(const char* line, size_t length, Snapshot* snap, bool lastKept) {
    if (!lastKept || snap->count == 0) {
        return;
    }
    Mapping& m = snap->mappings[snap->count - 1];
    if (StartsWith(line, length, "Anonymous:")) {
        for (size_t i = 10; i < length; ++i) {
            if (line[i] >= '1' && line[i] <= '9') {
                m.hasPrivateCopies = 1;
            }
            if (line[i] == 'k') {
                break;
            }
        }
    } else if (StartsWith(line, length, "VmFlags:")) {
        for (size_t i = 8; i + 2 < length + 1; ++i) {
            if (line[i - 1] == ' ' && line[i] == 'd' && line[i + 1] == 'd' &&
                (i + 2 == length || line[i + 2] == ' ')) {
                m.dontDump = 1;
            }
        }
    }
}

// One line of /proc/<pid>/maps: "start-end perms offset dev inode   name".
// Returns whether the mapping was kept.
bool AddMapping(const char* line, size_t length, Snapshot* snap) {
    if (snap->count >= kMaxMappings) {
        return false;
    }
    const char* p = line;
    const char* end = line + length;
    Mapping m{};
    m.start = ParseHex(&p, end);
    if (p >= end || *p != '-') {
        return false;
    }
    ++p;
    m.end = ParseHex(&p, end);
    if (p + 5 > end || *p != ' ') {
        return false;
    }
    ++p;
    if (p[0] != 'r') {
        return false;  // unreadable: guard pages, reservations
    }
    m.flags = PF_R | (p[1] == 'w' ? PF_W : 0) | (p[2] == 'x' ? PF_X : 0);
    SkipField(&p, end);
    m.offset = ParseHex(&p, end);
    SkipField(&p, end);                        // offset's rest
    SkipField(&p, end);                        // device
    const uint64_t inode = ParseHex(&p, end);  // decimal digits parse as hex too; only 0 matters
    SkipField(&p, end);
    const char* name = p;
    const size_t nameLength = static_cast<size_t>(end - p);
    if (m.end <= m.start) {
        return false;
    }
    if (StartsWith(name, nameLength, "[vvar") || StartsWith(name, nameLength, "[vsyscall]")) {
        return false;  // kernel pages whose reading can fault or has no meaning
    }
    if (nameLength > 0 && snap->namesUsed + nameLength + 1 <= kNamePoolSize) {
        memcpy(snap->names + snap->namesUsed, name, nameLength);
        snap->names[snap->namesUsed + nameLength] = '\0';
        m.nameOffset = static_cast<uint32_t>(snap->namesUsed);
        m.nameLength = static_cast<uint32_t>(nameLength);
        snap->namesUsed += nameLength + 1;
    }
    m.isFile = (inode != 0 && nameLength > 0 && name[0] == '/') ? 1 : 0;
    snap->mappings[snap->count++] = m;
    return true;
}

bool TakeSnapshot(pid_t pid, const ScratchLayout& l, Snapshot* snap) {
    // smaps tells which file mappings hold private copies (relocated data,
    // the dynamic linker's list of libraries); maps is the fallback.
    char path[64];
    BuildProcPath(path, sizeof path, pid, "smaps");
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        BuildProcPath(path, sizeof path, pid, "maps");
        fd = open(path, O_RDONLY | O_CLOEXEC);
    }
    if (fd < 0) {
        return false;
    }
    bool lastKept = false;
    snap->mappings = l.mappings;
    snap->names = l.names;
    snap->count = 0;
    snap->namesUsed = 0;
    size_t filled = 0;
    bool skipping = false;  // inside a line too long for the buffer
    for (;;) {
        const ssize_t n = read(fd, l.maps + filled, kMapsBufferSize - filled);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        filled += static_cast<size_t>(n);
        size_t begin = 0;
        for (size_t i = 0; i < filled; ++i) {
            if (l.maps[i] != '\n') {
                continue;
            }
            if (!skipping && i > begin) {
                const char first = l.maps[begin];
                // Mapping lines start with a lower-case hex address, smaps
                // fields with a capitalised name.
                if ((first >= '0' && first <= '9') || (first >= 'a' && first <= 'f')) {
                    lastKept = AddMapping(l.maps + begin, i - begin, snap);
                } else {
                    AddMappingField(l.maps + begin, i - begin, snap, lastKept);
                }
            }
            skipping = false;
            begin = i + 1;
        }
        memmove(l.maps, l.maps + begin, filled - begin);
        filled -= begin;
        if (filled == kMapsBufferSize) {
            filled = 0;
            skipping = true;
        }
    }
    close(fd);
    return snap->count > 0;
}

void ChooseContents(Snapshot* snap, const CoreDumpRequest& request) {
    const uint64_t sp = request.regs != nullptr ?
#if defined(__x86_64__)
                                                request.regs->rsp
#elif defined(__aarch64__)
                                                request.regs->sp
#endif
                                                : 0;
    for (size_t i = 0; i < snap->count; ++i) {
        Mapping& m = snap->mappings[i];
        const char* name = snap->names + m.nameOffset;
        const size_t len = m.nameLength;
        const uint64_t size = m.end - m.start;
        const bool device = StartsWith(name, len, "/dev/") && !StartsWith(name, len, "/dev/zero");
        const bool deleted = EndsWith(name, len, " (deleted)");
        const bool fileOnDisk = m.isFile && !deleted && !StartsWith(name, len, "/memfd:") &&
                                !StartsWith(name, len, "/SYSV");
        const bool holdsStack = sp >= m.start && sp < m.end;
        const bool headerPage = fileOnDisk && m.offset == 0;
        if (device || m.dontDump) {
            m.dumpBytes = 0;
        } else if (((m.flags & PF_W) != 0 || m.hasPrivateCopies) && m.isFile) {
            m.dumpBytes = size;
        } else if (!fileOnDisk) {
            const bool vdso = StartsWith(name, len, "[vdso]");
            m.dumpBytes = (request.fullMemory || holdsStack || vdso) ? size : 0;
        } else {
            m.dumpBytes = headerPage ? kPage : 0;
        }
        if (holdsStack && !device && !m.dontDump) {
            m.dumpBytes = size;
        }
    }
}

struct Out {
    int fd;
    uint64_t pos;
    char* buffer;
    size_t capacity;
    size_t used;
    int error;
};

void Flush(Out* out) {
    size_t done = 0;
    while (done < out->used && out->error == 0) {
        const ssize_t n = pwrite(out->fd, out->buffer + done, out->used - done,
                                 static_cast<off_t>(out->pos + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            out->error = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    out->pos += out->used;
    out->used = 0;
}

void Put(Out* out, const void* data, size_t length) {
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        if (out->used == out->capacity) {
            Flush(out);
        }
        size_t chunk = out->capacity - out->used;
        if (chunk > length) {
            chunk = length;
        }
        memcpy(out->buffer + out->used, p, chunk);
        out->used += chunk;
        p += chunk;
        length -= chunk;
    }
}

void PutZeros(Out* out, size_t length) {
    static const char zeros[64] = {};
    while (length > 0) {
        const size_t chunk = length < sizeof zeros ? length : sizeof zeros;
        Put(out, zeros, chunk);
        length -= chunk;
    }
}

size_t Align4(size_t n) {
    return (n + 3) & ~static_cast<size_t>(3);
}

size_t NoteSize(size_t descSize) {
    return sizeof(Elf64_Nhdr) + Align4(5) + Align4(descSize);
}

void PutNoteHeader(Out* out, uint32_t type, size_t descSize) {
    Elf64_Nhdr header{};
    header.n_namesz = 5;  // "CORE" and its terminator
    header.n_descsz = static_cast<Elf64_Word>(descSize);
    header.n_type = type;
    Put(out, &header, sizeof header);
    Put(out, "CORE\0\0\0", 8);
}

void PutNoteEnd(Out* out, size_t descSize) {
    PutZeros(out, Align4(descSize) - descSize);
}

size_t FileNoteSize(const Snapshot& snap) {
    size_t size = 2 * sizeof(uint64_t);
    for (size_t i = 0; i < snap.count; ++i) {
        if (snap.mappings[i].isFile) {
            size += 3 * sizeof(uint64_t) + snap.mappings[i].nameLength + 1;
        }
    }
    return size;
}

void PutFileNote(Out* out, const Snapshot& snap) {
    uint64_t count = 0;
    for (size_t i = 0; i < snap.count; ++i) {
        count += snap.mappings[i].isFile;
    }
    const uint64_t pageSize = kPage;
    Put(out, &count, sizeof count);
    Put(out, &pageSize, sizeof pageSize);
    for (size_t i = 0; i < snap.count; ++i) {
        const Mapping& m = snap.mappings[i];
        if (m.isFile) {
            const uint64_t triple[3] = {m.start, m.end, m.offset / kPage};
            Put(out, triple, sizeof triple);
        }
    }
    for (size_t i = 0; i < snap.count; ++i) {
        const Mapping& m = snap.mappings[i];
        if (m.isFile) {
            Put(out, snap.names + m.nameOffset, m.nameLength + 1);
        }
    }
}

// Reads [address, address+length) of the process into buffer, zero where a
// page cannot be read.
void ReadMemory(pid_t pid, int memFd, uint64_t address, char* buffer, size_t length) {
    size_t done = 0;
    while (done < length) {
        const size_t want = length - done;
        ssize_t n;
        if (memFd >= 0) {
            n = pread(memFd, buffer + done, want, static_cast<off_t>(address + done));
        } else {
            struct iovec local {
                buffer + done, want
            };
            // An address in the other process, never dereferenced here.
            struct iovec remote {};
            remote.iov_base =
                reinterpret_cast<void*>(address + done);  // NOLINT(performance-no-int-to-ptr)
            remote.iov_len = want;
            n = process_vm_readv(pid, &local, 1, &remote, 1, 0);
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        // The page at address+done is unreadable: zero it and go on with the next.
        const uint64_t here = address + done;
        const size_t skip = static_cast<size_t>(kPage - (here % kPage));
        const size_t zero = skip < length - done ? skip : length - done;
        memset(buffer + done, 0, zero);
        done += zero;
    }
}

bool AllZero(const char* page, size_t length) {
    const uint64_t* words = reinterpret_cast<const uint64_t*>(page);
    for (size_t i = 0; i < length / sizeof(uint64_t); ++i) {
        if (words[i] != 0) {
            return false;
        }
    }
    return true;
}

int WriteMemory(int fd, uint64_t fileOffset, pid_t pid, int memFd, const Mapping& m, char* io) {
    for (uint64_t done = 0; done < m.dumpBytes;) {
        size_t chunk = kIoBufferSize;
        if (chunk > m.dumpBytes - done) {
            chunk = static_cast<size_t>(m.dumpBytes - done);
        }
        ReadMemory(pid, memFd, m.start + done, io, chunk);
        // Write runs of non-zero pages; zero pages stay holes.
        size_t page = 0;
        while (page < chunk) {
            size_t run = page;
            while (run < chunk && !AllZero(io + run, kPage)) {
                run += kPage;
            }
            size_t written = page;
            while (written < run) {
                const ssize_t n = pwrite(fd, io + written, run - written,
                                         static_cast<off_t>(fileOffset + done + written));
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n <= 0) {
                    return n < 0 ? errno : EIO;
                }
                written += static_cast<size_t>(n);
            }
            page = run;
            while (page < chunk && AllZero(io + page, kPage)) {
                page += kPage;
            }
        }
        done += chunk;
    }
    return 0;
}

// The notes' contents that do not come from the mappings.
struct Notes {
    struct elf_prstatus status;
    struct elf_prpsinfo info;
    siginfo_t siginfo;
    const char* auxv;  // NT_AUXV, left out when empty
    size_t auxvSize;
    size_t fileNoteSize;
    const void* fpregs;  // NT_FPREGSET, left out when null
    size_t fpregsSize;
};

void FillStatus(const CoreDumpRequest& request, struct elf_prstatus* status) {
    status->pr_info.si_signo = request.signo;
    status->pr_info.si_code = request.code;
    status->pr_cursig = static_cast<short>(request.signo);
    status->pr_pid = request.tid;
    status->pr_ppid = request.pid == getpid() ? getppid() : 0;
    memcpy(&status->pr_reg, request.regs,
           sizeof status->pr_reg < sizeof *request.regs ? sizeof status->pr_reg
                                                        : sizeof *request.regs);
    status->pr_fpvalid = request.fpregs != nullptr ? 1 : 0;
}

// 'cmdline' is /proc/<pid>/cmdline: the arguments, each ended by a zero byte.
void FillProcessInfo(pid_t pid, const char* cmdline, size_t cmdlineSize,
                     struct elf_prpsinfo* info) {
    info->pr_sname = 'R';
    info->pr_pid = pid;
    info->pr_uid = getuid();
    info->pr_gid = getgid();
    for (size_t i = 0; i < cmdlineSize && i < ELF_PRARGSZ - 1; ++i) {
        info->pr_psargs[i] = cmdline[i] == '\0' ? ' ' : cmdline[i];
    }
    // pr_fname: the base name of argv[0]
    size_t start = 0;
    size_t end = 0;
    while (end < cmdlineSize && cmdline[end] != '\0') {
        if (cmdline[end] == '/') {
            start = end + 1;
        }
        ++end;
    }
    for (size_t i = 0; start + i < end && i < sizeof info->pr_fname - 1; ++i) {
        info->pr_fname[i] = cmdline[start + i];
    }
}

void FillSigInfo(const CoreDumpRequest& request, siginfo_t* siginfo) {
    siginfo->si_signo = request.signo;
    siginfo->si_code = request.code;
    // si_addr is meaningful for faults; the kernel's layout keeps it right after
    // the three ints, which is where gdb looks for it. The address is only
    // recorded, so its bytes are copied rather than made into a pointer.
    static_assert(sizeof request.address == sizeof(void*), "si_addr holds a 64-bit address");
    memcpy(reinterpret_cast<char*>(siginfo) + offsetof(siginfo_t, si_addr), &request.address,
           sizeof request.address);
}

// Fills 'notes' (zeroed by the caller); auxv and cmdline are read into the
// scratch file buffer, which 'notes' then points into.
void FillNotes(const CoreDumpRequest& request, const Snapshot& snap, const ScratchLayout& l,
               Notes* notes) {
    char* cmdline = l.file + kFileBufferSize / 2;
    const size_t cmdlineSize = ReadSmallFile(request.pid, "cmdline", cmdline, ELF_PRARGSZ);
    FillStatus(request, &notes->status);
    FillProcessInfo(request.pid, cmdline, cmdlineSize, &notes->info);
    FillSigInfo(request, &notes->siginfo);
    notes->auxv = l.file;
    notes->auxvSize = ReadSmallFile(request.pid, "auxv", l.file, kFileBufferSize / 2);
    notes->fileNoteSize = FileNoteSize(snap);
    notes->fpregs = request.fpregs;
    notes->fpregsSize = request.fpregs != nullptr ? request.fpregsSize : 0;
}

size_t NotesSize(const Notes& notes) {
    size_t size = NoteSize(sizeof notes.status) + NoteSize(sizeof notes.info) +
                  NoteSize(sizeof notes.siginfo) + NoteSize(notes.fileNoteSize);
    if (notes.auxvSize > 0) {
        size += NoteSize(notes.auxvSize);
    }
    if (notes.fpregs != nullptr) {
        size += NoteSize(notes.fpregsSize);
    }
    return size;
}

void PutNote(Out* out, uint32_t type, const void* desc, size_t descSize) {
    PutNoteHeader(out, type, descSize);
    Put(out, desc, descSize);
    PutNoteEnd(out, descSize);
}

// In the order gdb expects: the crashing thread's status first.
void PutNotes(Out* out, const Notes& notes, const Snapshot& snap) {
    PutNote(out, NT_PRSTATUS, &notes.status, sizeof notes.status);
    PutNote(out, NT_PRPSINFO, &notes.info, sizeof notes.info);
    PutNote(out, NT_SIGINFO, &notes.siginfo, sizeof notes.siginfo);
    if (notes.auxvSize > 0) {
        PutNote(out, NT_AUXV, notes.auxv, notes.auxvSize);
    }
    PutNoteHeader(out, NT_FILE, notes.fileNoteSize);
    PutFileNote(out, snap);
    PutNoteEnd(out, notes.fileNoteSize);
    if (notes.fpregs != nullptr) {
        PutNote(out, NT_FPREGSET, notes.fpregs, notes.fpregsSize);
    }
}

// The ELF header, the PT_NOTE header and one PT_LOAD per mapping, whose
// contents follow each other from 'dataOffset'. Returns the file's length.
uint64_t PutHeaders(Out* out, const Snapshot& snap, uint64_t notesOffset, size_t notesSize,
                    uint64_t dataOffset) {
    Elf64_Ehdr ehdr{};
    memcpy(ehdr.e_ident, ELFMAG, SELFMAG);
    ehdr.e_ident[EI_CLASS] = ELFCLASS64;
    ehdr.e_ident[EI_DATA] = ELFDATA2LSB;
    ehdr.e_ident[EI_VERSION] = EV_CURRENT;
    ehdr.e_ident[EI_OSABI] = ELFOSABI_NONE;
    ehdr.e_type = ET_CORE;
#if defined(__x86_64__)
    ehdr.e_machine = EM_X86_64;
#elif defined(__aarch64__)
    ehdr.e_machine = EM_AARCH64;
#endif
    ehdr.e_version = EV_CURRENT;
    ehdr.e_phoff = sizeof(Elf64_Ehdr);
    ehdr.e_ehsize = sizeof(Elf64_Ehdr);
    ehdr.e_phentsize = sizeof(Elf64_Phdr);
    ehdr.e_phnum = static_cast<Elf64_Half>(1 + snap.count);
    Put(out, &ehdr, sizeof ehdr);

    Elf64_Phdr note{};
    note.p_type = PT_NOTE;
    note.p_offset = notesOffset;
    note.p_filesz = notesSize;
    Put(out, &note, sizeof note);

    uint64_t offset = dataOffset;
    for (size_t i = 0; i < snap.count; ++i) {
        const Mapping& m = snap.mappings[i];
        Elf64_Phdr load{};
        load.p_type = PT_LOAD;
        load.p_flags = m.flags;
        load.p_offset = offset;
        load.p_vaddr = m.start;
        load.p_filesz = m.dumpBytes;
        load.p_memsz = m.end - m.start;
        load.p_align = kPage;
        Put(out, &load, sizeof load);
        offset += m.dumpBytes;
    }
    return offset;
}

// The chosen bytes of every mapping, one after the other from 'dataOffset'.
int WriteContents(int fd, uint64_t dataOffset, pid_t pid, const Snapshot& snap, char* io) {
    char memPath[64];
    BuildProcPath(memPath, sizeof memPath, pid, "mem");
    const int memFd = open(memPath, O_RDONLY | O_CLOEXEC);
    int result = 0;
    for (size_t i = 0; i < snap.count && result == 0; ++i) {
        result = WriteMemory(fd, dataOffset, pid, memFd, snap.mappings[i], io);
        dataOffset += snap.mappings[i].dumpBytes;
    }
    if (memFd >= 0) {
        close(memFd);
    }
    return result;
}

}  // namespace

size_t SafeStrlen(const char* text) {
    size_t n = 0;
    while (text[n] != '\0') {
        ++n;
    }
    return n;
}

bool SafeAppend(char* buffer, size_t size, size_t* used, const char* text) {
    while (*text != '\0') {
        if (*used + 1 >= size) {
            return false;
        }
        buffer[(*used)++] = *text++;
    }
    buffer[*used] = '\0';
    return true;
}

bool SafeAppendNumber(char* buffer, size_t size, size_t* used, unsigned long long value) {
    char digits[24];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    char text[24];
    for (size_t i = 0; i < n; ++i) {
        text[i] = digits[n - 1 - i];
    }
    text[n] = '\0';
    return SafeAppend(buffer, size, used, text);
}

bool ReserveCoreDumpScratch(CoreDumpScratch* scratch) {
    void* memory = mmap(nullptr, kScratchSize, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (memory == MAP_FAILED) {
        return false;
    }
    scratch->memory = memory;
    scratch->size = kScratchSize;
    return true;
}

void RegistersFromContext(const ucontext_t& context, unsigned long long fsBase,
                          user_regs_struct* regs, const void** fpregs, size_t* fpregsSize) {
    memset(regs, 0, sizeof *regs);
    *fpregs = nullptr;
    *fpregsSize = 0;
#if defined(__x86_64__)
    const greg_t* g = context.uc_mcontext.gregs;
    regs->r15 = static_cast<unsigned long long>(g[REG_R15]);
    regs->r14 = static_cast<unsigned long long>(g[REG_R14]);
    regs->r13 = static_cast<unsigned long long>(g[REG_R13]);
    regs->r12 = static_cast<unsigned long long>(g[REG_R12]);
    regs->rbp = static_cast<unsigned long long>(g[REG_RBP]);
    regs->rbx = static_cast<unsigned long long>(g[REG_RBX]);
    regs->r11 = static_cast<unsigned long long>(g[REG_R11]);
    regs->r10 = static_cast<unsigned long long>(g[REG_R10]);
    regs->r9 = static_cast<unsigned long long>(g[REG_R9]);
    regs->r8 = static_cast<unsigned long long>(g[REG_R8]);
    regs->rax = static_cast<unsigned long long>(g[REG_RAX]);
    regs->rcx = static_cast<unsigned long long>(g[REG_RCX]);
    regs->rdx = static_cast<unsigned long long>(g[REG_RDX]);
    regs->rsi = static_cast<unsigned long long>(g[REG_RSI]);
    regs->rdi = static_cast<unsigned long long>(g[REG_RDI]);
    regs->orig_rax = ~0ULL;  // not in a system call
    regs->rip = static_cast<unsigned long long>(g[REG_RIP]);
    regs->eflags = static_cast<unsigned long long>(g[REG_EFL]);
    regs->rsp = static_cast<unsigned long long>(g[REG_RSP]);
    const unsigned long long csgsfs = static_cast<unsigned long long>(g[REG_CSGSFS]);
    regs->cs = csgsfs & 0xffff;
    regs->ss = (csgsfs >> 48) & 0xffff;
    if (regs->ss == 0) {
        regs->ss = 0x2b;  // the user data segment on x86-64 Linux
    }
    regs->fs_base = fsBase;
    if (context.uc_mcontext.fpregs != nullptr) {
        *fpregs = context.uc_mcontext.fpregs;
        *fpregsSize = sizeof(user_fpregs_struct);
    }
#elif defined(__aarch64__)
    (void)fsBase;
    for (int i = 0; i < 31; ++i) {
        regs->regs[i] = context.uc_mcontext.regs[i];
    }
    regs->sp = context.uc_mcontext.sp;
    regs->pc = context.uc_mcontext.pc;
    regs->pstate = context.uc_mcontext.pstate;
#else
#error "crash dumps support x86-64 and AArch64"
#endif
}

int WriteCoreDump(int fd, const CoreDumpRequest& request, const CoreDumpScratch& scratch) {
    if (scratch.memory == nullptr || scratch.size < kScratchSize || request.regs == nullptr) {
        return EINVAL;
    }
    const ScratchLayout l = Layout(scratch);
    Snapshot snap{};
    if (!TakeSnapshot(request.pid, l, &snap)) {
        return errno != 0 ? errno : ENOENT;
    }
    ChooseContents(&snap, request);

    Notes notes{};
    FillNotes(request, snap, l, &notes);
    const size_t notesSize = NotesSize(notes);
    const uint64_t notesOffset = sizeof(Elf64_Ehdr) + (1 + snap.count) * sizeof(Elf64_Phdr);
    const uint64_t dataOffset =
        (notesOffset + notesSize + kPage - 1) & ~static_cast<uint64_t>(kPage - 1);

    Out out{fd, 0, l.io, kIoBufferSize, 0, 0};
    const uint64_t totalSize = PutHeaders(&out, snap, notesOffset, notesSize, dataOffset);
    PutNotes(&out, notes, snap);
    Flush(&out);
    if (out.error != 0) {
        return out.error;
    }
    int result = WriteContents(fd, dataOffset, request.pid, snap, l.io);
    // Trailing zero pages were skipped: give the file its full length.
    if (result == 0 && ftruncate(fd, static_cast<off_t>(totalSize)) != 0) {
        result = errno;
    }
    return result;
}

}  // namespace vorn
