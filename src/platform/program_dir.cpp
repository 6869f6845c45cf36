#include "platform/program_dir.h"

#include "platform/handles.h"
#include "platform/os_version.h"
#include "platform/text.h"

#include <vector>

namespace kestrup {

bool GetModulePath(std::string& path) {
    char buffer[MAX_PATH] = {};
    DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    // A full buffer means Windows cut the path.
    if (length == 0 || length >= MAX_PATH) return false;
    path.assign(buffer, length);
    return true;
}

bool GetSystemDir(std::string& path) {
    path.clear();
    char buffer[MAX_PATH] = {};
    UINT length = GetSystemDirectoryA(buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    path.assign(buffer, length);
    return true;
}

bool GetProgramDirectory(std::string& directory) {
    std::string path;
    if (!GetModulePath(path)) return false;
    StripFileName(path);
    AddTrailingBackslash(path);
    directory = path;
    return true;
}

namespace {

// A search's answer: its first entry decides unless the path has a "*".
template <class FindData, class FindNext>
bool FoundAFile(const std::string& path, HANDLE first, FindData& entry, FindNext findNext) {
    FindHandle search(first);
    if (!search) return false;
    auto isFile = [](const FindData& e) { return (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0; };
    if (isFile(entry)) return true;
    if (path.find('*') == std::string::npos) return false;
    for (int n = 0; n < 10000; ++n) {
        if (!findNext(search.get(), &entry)) return false;
        if (isFile(entry)) return true;
    }
    return false;
}

}  // namespace

bool FileExists(const std::string& path) {
    if (!IsNtFamily()) {
        // Windows 95, 98 and Me have only a stub of FindFirstFileW, which always fails.
        WIN32_FIND_DATAA entry;
        return FoundAFile(path, FindFirstFileA(path.c_str(), &entry), entry, FindNextFileA);
    }
    constexpr int kWideUnits = 4096;
    std::vector<WCHAR> wide(kWideUnits);
    if (MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), kWideUnits) == 0) return false;
    WIN32_FIND_DATAW entry;
    return FoundAFile(path, FindFirstFileW(wide.data(), &entry), entry, FindNextFileW);
}

}  // namespace kestrup
