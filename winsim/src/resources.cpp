// System message texts, version resources, short paths and modal dialogs.
#include <windows.h>
#include "internals.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

using winsim::Machine;

namespace {

// A version-information block: "VSIM", then records of a key and its data,
// each preceded by its length. VerQueryValueA hands out pointers into it, as
// Windows does.
void PutRecord(std::string& block, const std::string& key, const std::string& data) {
    auto put32 = [&](uint32_t n) { block.append(reinterpret_cast<const char*>(&n), 4); };
    put32(static_cast<uint32_t>(key.size()));
    block += key;
    put32(static_cast<uint32_t>(data.size()));
    block += data;
}

std::string VersionBlock(const winsim::FileEntry& e) {
    std::string block = "VSIM";
    if (!e.translations.empty()) {
        std::string table;
        for (auto [lang, cp] : e.translations) {
            table.append(reinterpret_cast<const char*>(&lang), 2);
            table.append(reinterpret_cast<const char*>(&cp), 2);
        }
        PutRecord(block, "\\VarFileInfo\\Translation", table);
    }
    for (auto& [name, version] : e.fileVersions)
        PutRecord(block, "\\StringFileInfo\\" + name + "\\FileVersion", version + std::string(1, '\0'));
    block.append(4, '\0');  // end of records
    return block;
}

}  // namespace

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID, DWORD dwMessageId, DWORD, LPSTR lpBuffer, DWORD nSize, va_list*) {
    Machine& m = winsim::Call("FormatMessageA");
    auto it = m.systemMessages.find(dwMessageId);
    if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || it == m.systemMessages.end()) {
        m.lastError = 317;  // ERROR_MR_MID_NOT_FOUND
        return 0;
    }
    const std::string& text = it->second;
    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        char* copy = static_cast<char*>(std::malloc(text.size() + 1));
        std::memcpy(copy, text.c_str(), text.size() + 1);
        *reinterpret_cast<char**>(lpBuffer) = copy;
        m.localAllocations.insert(copy);
        return static_cast<DWORD>(text.size());
    }
    if (nSize < text.size() + 1) {
        m.lastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    std::memcpy(lpBuffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    Machine& m = winsim::Call("LocalFree");
    if (!hMem) return nullptr;
    if (!m.localAllocations.erase(hMem))
        throw winsim::SimulationError("LocalFree of memory the system did not allocate");
    std::free(hMem);
    return nullptr;
}

DWORD WINAPI GetFileVersionInfoSizeA(LPCSTR lptstrFilename, LPDWORD lpdwHandle) {
    Machine& m = winsim::Call("GetFileVersionInfoSizeA");
    if (lpdwHandle) *lpdwHandle = 0;
    winsim::FileEntry* e = m.FindFile(lptstrFilename ? lptstrFilename : "");
    if (!e || e->directory) {
        m.lastError = ERROR_FILE_NOT_FOUND;
        return 0;
    }
    if (e->translations.empty() && e->fileVersions.empty()) {
        m.lastError = 1813;  // ERROR_RESOURCE_TYPE_NOT_FOUND
        return 0;
    }
    return static_cast<DWORD>(VersionBlock(*e).size());
}

BOOL WINAPI GetFileVersionInfoA(LPCSTR lptstrFilename, DWORD, DWORD dwLen, LPVOID lpData) {
    Machine& m = winsim::Call("GetFileVersionInfoA");
    winsim::FileEntry* e = m.FindFile(lptstrFilename ? lptstrFilename : "");
    if (!e) {
        m.lastError = ERROR_FILE_NOT_FOUND;
        return FALSE;
    }
    std::string block = VersionBlock(*e);
    std::memcpy(lpData, block.data(), std::min<size_t>(dwLen, block.size()));
    return dwLen >= block.size();
}

BOOL WINAPI VerQueryValueA(LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID* lplpBuffer, UINT* puLen) {
    winsim::Call("VerQueryValueA");
    const char* p = static_cast<const char*>(pBlock);
    if (std::memcmp(p, "VSIM", 4) != 0)
        throw winsim::SimulationError("VerQueryValueA on a block not read by GetFileVersionInfoA");
    std::string wanted = winsim::UpperAscii(lpSubBlock ? lpSubBlock : "");
    size_t at = 4;
    // The caller sized the block by GetFileVersionInfoSizeA; walk its records.
    while (true) {
        uint32_t keyLen;
        std::memcpy(&keyLen, p + at, 4);
        if (keyLen == 0 || keyLen > 4096) return FALSE;
        std::string key(p + at + 4, keyLen);
        uint32_t dataLen;
        std::memcpy(&dataLen, p + at + 4 + keyLen, 4);
        const char* data = p + at + 8 + keyLen;
        if (winsim::UpperAscii(key) == wanted) {
            *lplpBuffer = const_cast<char*>(data);
            // Strings report their length in characters with the terminator.
            *puLen = dataLen;
            return dataLen > 0;
        }
        at += 8 + keyLen + dataLen;
    }
}

LANGID WINAPI GetUserDefaultLangID(void) { return winsim::Call("GetUserDefaultLangID").userLanguage; }

DWORD WINAPI GetShortPathNameA(LPCSTR lpszLongPath, LPSTR lpszShortPath, DWORD cchBuffer) {
    Machine& m = winsim::Call("GetShortPathNameA");
    std::string path = lpszLongPath ? lpszLongPath : "";
    if (m.shortPathFails) {
        m.lastError = ERROR_ACCESS_DENIED;
        return 0;
    }
    if (!m.FindFile(path)) {
        m.lastError = ERROR_FILE_NOT_FOUND;
        return 0;
    }
    std::string shortPath;
    if (m.shortNamesDisabled) {
        shortPath = path;
    } else {
        // Each long component becomes its first six letters, "~1" and at most three extension letters.
        size_t start = 0;
        while (start <= path.size()) {
            size_t end = path.find('\\', start);
            std::string part = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
            size_t dot = part.find_last_of('.');
            std::string stem = dot == std::string::npos ? part : part.substr(0, dot);
            std::string ext = dot == std::string::npos ? "" : part.substr(dot + 1);
            bool longName = stem.size() > 8 || ext.size() > 3 || part.find(' ') != std::string::npos ||
                            std::count(part.begin(), part.end(), '.') > 1;
            if (longName && part.size() > 2) {
                std::string s;
                for (char c : stem)
                    if (c != ' ' && c != '.' && s.size() < 6) s += c;
                part = winsim::UpperAscii(s) + "~1" + (ext.empty() ? "" : "." + winsim::UpperAscii(ext.substr(0, 3)));
            }
            shortPath += (start ? "\\" : "") + part;
            if (end == std::string::npos) break;
            start = end + 1;
        }
    }
    if (shortPath != path) winsim::Inside(m).shortAliases[shortPath] = m.FindFile(path)->path;
    if (cchBuffer < shortPath.size() + 1) return static_cast<DWORD>(shortPath.size() + 1);
    std::memcpy(lpszShortPath, shortPath.c_str(), shortPath.size() + 1);
    return static_cast<DWORD>(shortPath.size());
}

INT_PTR WINAPI DialogBoxParamA(HINSTANCE, LPCSTR lpTemplateName, HWND hWndParent, DLGPROC lpDialogFunc,
                               LPARAM dwInitParam) {
    Machine& m = winsim::Call("DialogBoxParamA");
    winsim::DialogShown shown;
    uintptr_t id = reinterpret_cast<uintptr_t>(lpTemplateName);
    shown.templateName = id < 0x10000 ? "#" + std::to_string(id) : std::string(lpTemplateName);
    shown.owned = hWndParent != nullptr;
    if (winsim::Inside(m).NobodySees())
        throw winsim::SimulationError("dialog " + shown.templateName + " made where nobody sees it: it never returns");
    winsim::DialogScript script = winsim::Inside(m).TakeDialogScript();
    if (script.cannotCreate) {
        shown.result = -1;
        m.dialogs.push_back(shown);
        return -1;
    }
    HWND dialog = reinterpret_cast<HWND>(static_cast<uintptr_t>(0xD1A10000u + m.dialogs.size()));
    winsim::Inside(m).dialogEnded = false;
    shown.initResult = lpDialogFunc(dialog, WM_INITDIALOG, 0, dwInitParam);
    for (int command : script.commands) {
        lpDialogFunc(dialog, WM_COMMAND, MAKEWPARAM(command, BN_CLICKED), 0);
        if (winsim::Inside(m).dialogEnded) break;
    }
    if (!winsim::Inside(m).dialogEnded)
        throw winsim::SimulationError("dialog " + shown.templateName + " was left open");
    shown.result = winsim::Inside(m).dialogResult;
    m.dialogs.push_back(shown);
    return winsim::Inside(m).dialogResult;
}

BOOL WINAPI EndDialog(HWND, INT_PTR nResult) {
    Machine& m = winsim::Call("EndDialog");
    winsim::Inside(m).dialogEnded = true;
    winsim::Inside(m).dialogResult = nResult;
    return TRUE;
}
