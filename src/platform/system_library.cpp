#include "platform/system_library.h"

#include "platform/local_path.h"
#include "platform/program_dir.h"
#include "platform/text.h"

namespace kestrup {

namespace {

bool IsAbsolute(const std::string& path) {
    return (path.size() >= 3 && path[1] == ':' && path[2] == '\\') || path.rfind("\\\\", 0) == 0;
}

bool IsFile(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string FindInFolders(const std::vector<std::string>& folders, const std::string& fileName) {
    for (std::string folder : folders) {
        AddTrailingBackslash(folder);
        const std::string path = folder + fileName;
        if (path.size() < MAX_PATH && IsFile(path)) return path;
    }
    return "";
}

}  // namespace

RuntimeLibrary::RuntimeLibrary(const std::string& path) {
    // The altered search path makes the library's own folder stand in for the
    // program's folder when its dependencies are looked for.
    if (IsAbsolute(path)) module_ = LibraryHandle(LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
}

RuntimeLibrary SystemLibrary(const char* fileName) {
    std::string folder;
    if (!GetSystemDir(folder)) return RuntimeLibrary();
    AddTrailingBackslash(folder);
    return RuntimeLibrary(folder + fileName);
}

std::vector<std::string> SystemFolders() {
    std::vector<std::string> folders;
    std::string system, windows;
    if (GetSystemDir(system)) folders.push_back(system);
    char buffer[MAX_PATH] = {};
    UINT length = GetWindowsDirectoryA(buffer, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        windows.assign(buffer, length);
        AddTrailingBackslash(windows);
        folders.push_back(windows + "System");
        folders.push_back(windows.substr(0, windows.size() - 1));
    }
    return folders;
}

std::vector<std::string> SafeSearchFolders() {
    std::vector<std::string> folders = SystemFolders();
    // PATH comes from the environment the installer was started with; an entry
    // that is relative (searched from the current folder) or not on a local
    // fixed disk is passed over.
    DWORD size = GetEnvironmentVariableA("PATH", nullptr, 0);
    if (size > 0) {
        std::string list(size, '\0');
        DWORD copied = GetEnvironmentVariableA("PATH", &list[0], size);
        list.resize(copied < size ? copied : 0);
        size_t start = 0;
        while (start <= list.size()) {
            size_t end = list.find(';', start);
            std::string folder = list.substr(start, end == std::string::npos ? std::string::npos : end - start);
            // Quotes around an entry are allowed in PATH.
            if (folder.size() >= 2 && folder.front() == '"' && folder.back() == '"')
                folder = folder.substr(1, folder.size() - 2);
            if (IsOnLocalFixedDisk(folder)) folders.push_back(folder);
            if (end == std::string::npos) break;
            start = end + 1;
        }
    }
    for (std::string& folder : folders)
        if (folder.size() > 3 && folder.back() == '\\') folder.pop_back();
    return folders;
}

std::string FindInSafeFolders(const std::string& fileName) { return FindInFolders(SafeSearchFolders(), fileName); }

std::string FindSoftwareLibrary(const std::string& fileName, const std::string& installFolder) {
    std::vector<std::string> folders = SystemFolders();
    if (IsOnLocalFixedDisk(installFolder)) folders.push_back(installFolder);
    return FindInFolders(folders, fileName);
}

}  // namespace kestrup
