// The file system part: the file table with its folders, and the sharing rules
// between open handles.
#include "internals.h"

namespace winsim {

namespace {
std::string Parent(const std::string& path) {
    size_t p = path.find_last_of('\\');
    return p == std::string::npos ? std::string() : path.substr(0, p);
}
std::string Trimmed(const std::string& path) {
    std::string p = path;
    while (p.size() > 3 && p.back() == '\\') p.pop_back();
    return p;
}
}  // namespace

void FileSystem::AddDirectory(const std::string& path) {
    auto& files = Inside(MachineOf(this)).files;
    std::string p = Trimmed(path);
    if (p.empty() || files.count(p)) return;
    std::string parent = Parent(p);
    if (!parent.empty() && parent.size() > 2) AddDirectory(parent);
    files[p] = FileEntry{p, true, FILE_ATTRIBUTE_DIRECTORY, ""};
}

void FileSystem::AddFile(const std::string& path, const std::string& data, DWORD attributes) {
    AddDirectory(Parent(path));
    auto& files = Inside(MachineOf(this)).files;
    files[path] = FileEntry{path, false, attributes, data};
}

void FileSystem::RemoveFile(const std::string& path) {
    auto& files = Inside(MachineOf(this)).files;
    auto it = files.find(RealPath(Trimmed(path)));
    if (it == files.end()) return;
    // The content lives on under the file's other names, if it has any.
    FileEntry* heir = nullptr;
    for (auto& [name, entry] : files) {
        if (entry.hardLinkOf.empty() || UpperAscii(entry.hardLinkOf) != UpperAscii(it->second.path)) continue;
        if (!heir) {
            heir = &entry;
            std::string heirPath = entry.path;
            entry = it->second;
            entry.path = heirPath;
            entry.hardLinkOf.clear();
        } else {
            entry.hardLinkOf = heir->path;
        }
    }
    files.erase(it);
}

FileEntry* FileSystem::FindFile(const std::string& path) {
    Internals& in = Inside(MachineOf(this));
    auto alias = in.shortAliases.find(Trimmed(path));
    auto it = in.files.find(RealPath(alias != in.shortAliases.end() ? alias->second : Trimmed(path)));
    if (it != in.files.end() && !it->second.hardLinkOf.empty()) it = in.files.find(it->second.hardLinkOf);
    return it == in.files.end() ? nullptr : &it->second;
}

std::vector<FileEntry*> FileSystem::ListDirectory(const std::string& directory) {
    auto& files = Inside(MachineOf(this)).files;
    std::vector<FileEntry*> out;
    std::string dir = Trimmed(directory);
    for (auto& [name, entry] : files)
        if (UpperAscii(Parent(name)) == UpperAscii(dir)) out.push_back(&entry);
    return out;  // the file table is ordered by name without case
}

void FileSystem::CountChange() {
    if (endRunAtChange > 0 && --endRunAtChange == 0) throw RunEnded("the run was ended before this change");
}

bool Internals::FileSharingConflict(const std::string& path, DWORD access, DWORD share, bool deleting) const {
    for (auto& [id, h] : handles) {
        if (h.kind != "file" || UpperAscii(h.filePath) != UpperAscii(path)) continue;
        if (deleting) {
            if (!(h.fileShare & FILE_SHARE_DELETE)) return true;
            continue;
        }
        if ((access & GENERIC_READ) && !(h.fileShare & FILE_SHARE_READ)) return true;
        if ((access & GENERIC_WRITE) && !(h.fileShare & FILE_SHARE_WRITE)) return true;
        if ((h.fileAccess & GENERIC_READ) && !(share & FILE_SHARE_READ)) return true;
        if ((h.fileAccess & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) return true;
    }
    return false;
}

}  // namespace winsim
