// An in-memory registry hive built from files in the regedit export format.
//
// Format: a first line "Windows Registry Editor Version 5.00"; key headers
// "[HKEY_LOCAL_MACHINE\SOFTWARE\...]" ("[-...]" deletes a key and its subkeys);
// ';' comments; values "Name"="text" (REG_SZ with \\ and \" escapes),
// "Name"=dword:0000002a, "Name"=hex:01,02 (REG_BINARY), "Name"=hex(N):...
// (any other type as raw bytes, e.g. hex(2) REG_EXPAND_SZ, hex(7)
// REG_MULTI_SZ, hex(b) REG_QWORD), "Name"=- (deletes the value), "@" for the
// default value. A line ending in '\' continues on the next one. Key and value
// names match without regard to ASCII case.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vorn {

struct RegistryValue {
    uint32_t type = 0;
    std::vector<unsigned char> data;  // as the registry stores it (strings UTF-16LE + NUL)
};

class CRegistryHive {
public:
    // Merges one file's text into the hive; a later file's values win.
    // Malformed lines are reported to 'errors' as "<name>:<line>: <reason>"
    // (one entry each) and skipped; the rest of the text is still read.
    void Merge(const std::string& text, const std::string& sourceName,
               std::vector<std::string>& errors);

    // Merges every "*.reg" file of a directory in file-name order, writing
    // each problem to standard error. A missing directory leaves the hive empty.
    void LoadDirectory(const std::string& directory);

    // Merges the named files of 'directory' in the order given. Each problem
    // (a file that cannot be read, a malformed line) is appended to 'problems'
    // as the line LoadDirectory writes for it, escaped and without its line feed.
    void LoadFiles(const std::string& directory, const std::vector<std::string>& names,
                   std::vector<std::string>& problems);

    // The "*.reg" file names of 'directory' (any case of the suffix), sorted.
    // False when the directory cannot be listed.
    static bool ListFiles(const std::string& directory, std::vector<std::string>& names);

    // Whether the key exists (declared itself, or as the parent of a declared key).
    bool HasKey(const std::string& keyPath) const;

    // The value, or nullptr when the key or value does not exist.
    const RegistryValue* Find(const std::string& keyPath, const std::string& valueName) const;

    // Normalises a key path: ASCII lower case, single backslashes, no trailing one.
    static std::string NormaliseKey(const std::string& keyPath);

private:
    std::map<std::string, std::map<std::string, RegistryValue>> m_mapKeys;
};

}  // namespace vorn
