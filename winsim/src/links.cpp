// Links in the machine's file table: hard links (further names of one file),
// directory junctions that paths below them pass through, and the resolution
// of a path through them.
#include <windows.h>
#include "internals.h"

namespace winsim {

namespace {

std::string WithoutTrailingBackslashes(std::string path) {
    while (path.size() > 3 && path.back() == '\\') path.pop_back();
    return path;
}

}  // namespace

std::string FileSystem::RealPath(const std::string& path) {
    std::string p = WithoutTrailingBackslashes(path);
    size_t last = p.find_last_of('\\');
    if (last == std::string::npos || last + 1 == p.size()) return p;
    // Every folder on the way is followed when it is a link; the last part is not.
    // A UNC or device path (\\server\share, \\?\, \\.\) keeps its leading pair.
    const std::string lead = p.rfind("\\\\", 0) == 0 ? "\\\\" : "";
    std::string resolved;
    size_t start = lead.size();
    int hops = 0;
    while (start < last) {
        size_t end = p.find('\\', start);
        if (end == std::string::npos || end > last) end = last;
        resolved += (resolved.empty() ? lead : "\\") + p.substr(start, end - start);
        start = end + 1;
        auto it = Inside(MachineOf(this)).files.find(resolved);
        while (it != Inside(MachineOf(this)).files.end() && !it->second.linkTarget.empty() && hops++ < 32) {
            resolved = WithoutTrailingBackslashes(it->second.linkTarget);
            it = Inside(MachineOf(this)).files.find(resolved);
        }
    }
    return resolved + "\\" + p.substr(last + 1);
}

void FileSystem::NoteLinksFollowed(const std::string& path) {
    if (UpperAscii(RealPath(path)) != UpperAscii(WithoutTrailingBackslashes(path))) linksFollowed.push_back(path);
}

void FileSystem::AddLink(const std::string& path, const std::string& target) {
    AddFile(path, "", FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE);
    FindFile(path)->linkTarget = target;
}

void FileSystem::AddHardLink(const std::string& path, const std::string& existing) {
    FileEntry* target = FindFile(existing);
    if (!target || target->directory) throw SimulationError("no file " + existing + " to link to");
    std::string primary = target->path;
    AddFile(path, "", target->attributes);
    Inside(MachineOf(this)).files[path].hardLinkOf = primary;
}

void FileSystem::AddJunction(const std::string& path, const std::string& target) {
    std::string p = WithoutTrailingBackslashes(path);
    AddDirectory(p);
    FileEntry& e = Inside(MachineOf(this)).files[p];
    e.attributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    e.linkTarget = target;
}

void FileSystem::AddCompatibilityJunction(const std::string& path, const std::string& target) {
    AddJunction(path, target);
    FileEntry& e = Inside(MachineOf(this)).files[WithoutTrailingBackslashes(path)];
    e.attributes |= FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    e.denyListRead = true;
}

void FileSystem::AddNt6ProfilesFolder(const std::string& profilesFolder) {
    AddDirectory(profilesFolder);
    AddCompatibilityJunction(profilesFolder.substr(0, 3) + "Documents and Settings", profilesFolder);
}

void FileSystem::AddNt6Profile(const std::string& profile) {
    const std::string roaming = profile + "\\AppData\\Roaming", local = profile + "\\AppData\\Local";
    for (const std::string& folder : {roaming, local, profile + "\\Documents"}) AddDirectory(folder);
    const std::pair<std::string, std::string> junctions[] = {
        {"Application Data", roaming},
        {"Cookies", roaming + "\\Microsoft\\Windows\\Cookies"},
        {"Local Settings", local},
        {"My Documents", profile + "\\Documents"},
        {"Start Menu", roaming + "\\Microsoft\\Windows\\Start Menu"},
        {"AppData\\Local\\Application Data", local},
    };
    for (const auto& [name, target] : junctions) AddCompatibilityJunction(profile + "\\" + name, target);
}

int FileSystem::LinkCount(const std::string& path) {
    FileEntry* e = FindFile(path);
    if (!e) return 0;
    int names = 1;
    for (auto& [name, entry] : Inside(MachineOf(this)).files)
        if (!entry.hardLinkOf.empty() && UpperAscii(entry.hardLinkOf) == UpperAscii(e->path)) ++names;
    return names;
}

}  // namespace winsim
