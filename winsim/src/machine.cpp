// The machine object: registry tree, files, handle table and test helpers.
#include <winsim/machine.h>

#include <algorithm>
#include <cstring>

namespace winsim {

namespace {
Machine* g_current = nullptr;

char UpperChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
}  // namespace

std::string UpperAscii(std::string text) {
    for (char& c : text) c = UpperChar(c);
    return text;
}

bool NoCaseLess::operator()(const std::string& a, const std::string& b) const {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(UpperChar(a[i]));
        unsigned char y = static_cast<unsigned char>(UpperChar(b[i]));
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

Machine& Call(const char* function) {
    Machine& m = Machine::Current();
    ++m.calls[function];
    return m;
}

std::string Narrow(LPCWSTR text) {
    if (!text) return "";
    int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, &out[0], n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n) - 1);
    return out;
}

std::vector<std::string> SplitPath(const std::string& path) {
    std::vector<std::string> parts;
    std::string cur;
    for (char c : path) {
        if (c == '\\') {
            if (!cur.empty()) parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) parts.push_back(cur);
    return parts;
}

bool MatchPattern(const std::string& pattern, const std::string& name) {
    // Classic backtracking glob: '*' any run, '?' one character.
    size_t p = 0, n = 0, star = std::string::npos, mark = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || UpperChar(pattern[p]) == UpperChar(name[n]))) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = n;
        } else if (star != std::string::npos) {
            p = star + 1;
            n = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

std::string RegValue::text() const {
    std::string s(data.begin(), data.end());
    size_t z = s.find('\0');
    return z == std::string::npos ? s : s.substr(0, z);
}

DWORD RegValue::dword() const {
    DWORD v = 0;
    if (data.size() >= 4) std::memcpy(&v, data.data(), 4);
    return v;
}

RegValue* RegKey::find(const std::string& valueName) {
    for (auto& v : values)
        if (UpperAscii(v.name) == UpperAscii(valueName)) return &v;
    return nullptr;
}

Machine::Machine(Arch arch) : arch_(arch) {
    if (g_current) throw SimulationError("a simulated machine already exists");
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, HKEY_USERS})
        roots_[root] = std::make_shared<RegKey>();
    SetVersion(VER_PLATFORM_WIN32_NT, 5, 1, 2600, 2);
    env_["SystemRoot"] = "C:\\WINDOWS";
    env_["SystemDrive"] = "C:";
    env_["windir"] = "C:\\WINDOWS";
    env_["ProgramFiles"] = "C:\\Program Files";
    env_["USERNAME"] = "alice";
    env_["USERPROFILE"] = "C:\\Documents and Settings\\alice";
    env_["TEMP"] = "C:\\DOCUME~1\\alice\\LOCALS~1\\Temp";
    env_["TMP"] = env_["TEMP"];
    AddDirectory(systemDirectory);
    AddDirectory("C:\\Program Files");
    AddDirectory(tempDirectory);
    AddFile(modulePath, "MZ");
    AddSystemLibraries();
    systemMessages = {
        {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
        {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n"},
        {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
        {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
        {193, "%1 is not a valid Win32 application.\r\n"},
        {206, "The filename or extension is too long.\r\n"},
        {740, "The requested operation requires elevation.\r\n"},
    };
    g_current = this;
}

Machine::~Machine() { g_current = nullptr; }

Machine& Machine::Current() {
    if (!g_current) throw SimulationError("no simulated machine: the test must create a winsim::Machine first");
    return *g_current;
}

void Machine::SetVersion(DWORD platform, DWORD major, DWORD minor, DWORD build, WORD spMajor,
                         const std::string& csd) {
    version = OSVERSIONINFOEXA{};
    version.dwMajorVersion = major;
    version.dwMinorVersion = minor;
    version.dwBuildNumber = build;
    version.dwPlatformId = platform;
    version.wServicePackMajor = spMajor;
    std::string text = csd;
    if (text == "\x01") text = spMajor ? "Service Pack " + std::to_string(spMajor) : "";
    std::strncpy(version.szCSDVersion, text.c_str(), sizeof(version.szCSDVersion) - 1);
}

// ---- registry ---------------------------------------------------------------

RegKey& Machine::RootKey(HKEY root) {
    auto it = roots_.find(root);
    if (it == roots_.end()) throw SimulationError("unknown registry root");
    return *it->second;
}

std::string Machine::NativePath(HKEY root, const std::string& path, View view) const {
    auto parts = SplitPath(path);
    // A 32-bit program on 64-bit Windows sees HKLM\Software\X as HKLM\Software\Wow6432Node\X.
    if (arch_ == Arch::x64 && view == View::k32 && root == HKEY_LOCAL_MACHINE && !parts.empty() &&
        UpperAscii(parts[0]) == "SOFTWARE" && !(parts.size() > 1 && UpperAscii(parts[1]) == "WOW6432NODE"))
        parts.insert(parts.begin() + 1, "Wow6432Node");
    std::string out;
    for (auto& p : parts) out += (out.empty() ? "" : "\\") + p;
    return out;
}

bool Machine::ResolveView64(REGSAM sam) const {
    if (arch_ == Arch::x86) return false;  // a 32-bit Windows has one view; the flags are ignored
    return (sam & KEY_WOW64_64KEY) != 0;
}

std::shared_ptr<RegKey> Machine::ResolveKey(HKEY root, const std::string& path, bool view64, bool create,
                                            LONG* error, DWORD* disposition) {
    std::shared_ptr<RegKey> key;
    bool predefined = roots_.count(root) != 0;
    std::string native = path;
    if (predefined) {
        key = roots_[root];
        native = NativePath(root, path, view64 ? View::k64 : View::k32);
    } else {
        Handle* h = GetKeyHandle(reinterpret_cast<HKEY>(root));
        if (!h) {
            *error = ERROR_INVALID_HANDLE;
            return nullptr;
        }
        key = h->key;
    }
    if (key->deleted) {
        *error = ERROR_KEY_DELETED;
        return nullptr;
    }
    if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
    for (auto& part : SplitPath(native)) {
        auto it = key->subkeys.find(part);
        if (it == key->subkeys.end()) {
            if (!create) {
                *error = ERROR_FILE_NOT_FOUND;
                return nullptr;
            }
            if (key->denyWrite) {
                *error = ERROR_ACCESS_DENIED;
                return nullptr;
            }
            auto child = std::make_shared<RegKey>();
            child->name = part;
            it = key->subkeys.emplace(part, child).first;
            if (disposition) *disposition = REG_CREATED_NEW_KEY;
        }
        key = it->second;
    }
    *error = ERROR_SUCCESS;
    return key;
}

RegKey* Machine::FindKey(HKEY root, const std::string& path, View view) {
    LONG error;
    auto key = ResolveKey(root, path, view == View::k64 && arch_ == Arch::x64, false, &error);
    return key.get();
}

RegKey& Machine::CreateKey(HKEY root, const std::string& path, View view) {
    LONG error;
    // Test set-up bypasses access flags: walk and create directly.
    std::shared_ptr<RegKey> key = roots_.at(root);
    for (auto& part : SplitPath(NativePath(root, path, view))) {
        auto it = key->subkeys.find(part);
        if (it == key->subkeys.end()) {
            auto child = std::make_shared<RegKey>();
            child->name = part;
            it = key->subkeys.emplace(part, child).first;
        }
        key = it->second;
    }
    (void)error;
    return *key;
}

void Machine::SetBinary(HKEY root, const std::string& path, const std::string& name, DWORD type,
                        const std::vector<BYTE>& data, View view) {
    RegKey& key = CreateKey(root, path, view);
    RegValue* v = key.find(name);
    if (!v) {
        key.values.push_back(RegValue{name, type, {}});
        v = &key.values.back();
    }
    v->type = type;
    v->data = data;
}

void Machine::SetString(HKEY root, const std::string& path, const std::string& name, const std::string& value,
                        View view, DWORD type) {
    std::vector<BYTE> data(value.begin(), value.end());
    data.push_back(0);
    SetBinary(root, path, name, type, data, view);
}

void Machine::SetDword(HKEY root, const std::string& path, const std::string& name, DWORD value, View view) {
    std::vector<BYTE> data(4);
    std::memcpy(data.data(), &value, 4);
    SetBinary(root, path, name, REG_DWORD, data, view);
}

const RegValue* Machine::GetValue(HKEY root, const std::string& path, const std::string& name, View view) {
    RegKey* key = FindKey(root, path, view);
    return key ? key->find(name) : nullptr;
}

std::string Machine::GetString(HKEY root, const std::string& path, const std::string& name, View view) {
    const RegValue* v = GetValue(root, path, name, view);
    if (!v) throw SimulationError("no registry value " + path + "\\" + name);
    return v->text();
}

DWORD Machine::GetDword(HKEY root, const std::string& path, const std::string& name, View view) {
    const RegValue* v = GetValue(root, path, name, view);
    if (!v) throw SimulationError("no registry value " + path + "\\" + name);
    if (v->type != REG_DWORD) throw SimulationError("registry value " + name + " is not a REG_DWORD");
    return v->dword();
}

// ---- files ------------------------------------------------------------------

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

void Machine::AddDirectory(const std::string& path) {
    std::string p = Trimmed(path);
    if (p.empty() || files_.count(p)) return;
    std::string parent = Parent(p);
    if (!parent.empty() && parent.size() > 2) AddDirectory(parent);
    files_[p] = FileEntry{p, true, FILE_ATTRIBUTE_DIRECTORY, ""};
}

void Machine::AddFile(const std::string& path, const std::string& data, DWORD attributes) {
    AddDirectory(Parent(path));
    files_[path] = FileEntry{path, false, attributes, data};
}

void Machine::RemoveFile(const std::string& path) {
    auto it = files_.find(RealPath(Trimmed(path)));
    if (it == files_.end()) return;
    // The content lives on under the file's other names, if it has any.
    FileEntry* heir = nullptr;
    for (auto& [name, entry] : files_) {
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
    files_.erase(it);
}

FileEntry* Machine::FindFile(const std::string& path) {
    auto alias = shortAliases.find(Trimmed(path));
    auto it = files_.find(RealPath(alias != shortAliases.end() ? alias->second : Trimmed(path)));
    if (it != files_.end() && !it->second.hardLinkOf.empty()) it = files_.find(it->second.hardLinkOf);
    return it == files_.end() ? nullptr : &it->second;
}

std::vector<FileEntry*> Machine::ListDirectory(const std::string& directory) {
    std::vector<FileEntry*> out;
    std::string dir = Trimmed(directory);
    for (auto& [name, entry] : files_)
        if (UpperAscii(Parent(name)) == UpperAscii(dir)) out.push_back(&entry);
    return out;  // files_ is ordered by name without case
}

bool Machine::FileSharingConflict(const std::string& path, DWORD access, DWORD share, bool deleting) {
    for (auto& [id, h] : handles_) {
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

// ---- programs and packages ----------------------------------------------------

void Machine::AddProgram(const std::string& path, Program program) {
    if (!FindFile(path)) AddFile(path, "MZ");
    programs_[path] = std::move(program);
}

void Machine::AddPackage(const std::string& path, Package package, const std::string& fileData) {
    AddFile(path, fileData);
    packages_[path] = std::move(package);
}

int Machine::TakeAnswer(const std::string& title) {
    if (answers_.empty())
        throw SimulationError("message box \"" + title + "\" shown, but the test scripted no answer");
    auto [expected, answer] = answers_.front();
    if (expected != title)
        throw SimulationError("message box \"" + title + "\" shown, but the test expected \"" + expected + "\"");
    answers_.pop_front();
    return answer;
}

DialogScript Machine::TakeDialogScript() {
    if (dialogScripts_.empty()) throw SimulationError("dialog shown, but the test scripted no way to work it");
    DialogScript script = std::move(dialogScripts_.front());
    dialogScripts_.pop_front();
    return script;
}

// ---- handles ----------------------------------------------------------------

HANDLE Machine::NewHandle(Handle h) {
    uintptr_t id = nextHandle_;
    nextHandle_ += 4;
    handles_[id] = std::move(h);
    return reinterpret_cast<HANDLE>(id);
}

Machine::Handle* Machine::GetHandle(HANDLE h, const char* kind) {
    auto it = handles_.find(reinterpret_cast<uintptr_t>(h));
    if (it == handles_.end()) return nullptr;
    if (kind && it->second.kind != kind) return nullptr;
    return &it->second;
}

bool Machine::CloseHandleEntry(HANDLE h) { return handles_.erase(reinterpret_cast<uintptr_t>(h)) != 0; }

HKEY Machine::NewKeyHandle(std::shared_ptr<RegKey> key, bool view64, bool writable) {
    Handle h;
    h.kind = "key";
    h.key = std::move(key);
    h.keyView64 = view64;
    h.keyWritable = writable;
    return reinterpret_cast<HKEY>(NewHandle(std::move(h)));
}

Machine::Handle* Machine::GetKeyHandle(HKEY h) { return GetHandle(reinterpret_cast<HANDLE>(h), "key"); }

std::vector<std::string> Machine::OpenHandleKinds() const {
    std::vector<std::string> kinds;
    for (auto& [id, h] : handles_)
        if (h.kind != "module") kinds.push_back(h.kind);
    return kinds;
}

bool Machine::ProcessEnded(const Handle& process) const {
    if (process.terminated) return true;
    if (process.neverEnds) return false;
    return !process.childOutput || process.childOutput->Unread() <= kPipeCapacity;
}

int Machine::PipeWriters(const std::shared_ptr<Pipe>& pipe) const {
    int writers = 0;
    for (const auto& [id, h] : handles_)
        if ((h.kind == "pipe-write" && h.pipe == pipe) || (h.kind == "process" && h.childOutput == pipe && !ProcessEnded(h)))
            ++writers;
    return writers;
}

int Machine::OpenHandles() const { return static_cast<int>(OpenHandleKinds().size()); }

namespace {
bool Holds(const std::shared_ptr<RegKey>& tree, const std::shared_ptr<RegKey>& key) {
    if (tree == key) return true;
    for (auto& [name, child] : tree->subkeys)
        if (Holds(child, key)) return true;
    return false;
}
}  // namespace

int Machine::OpenKeysInside(const std::shared_ptr<RegKey>& tree) const {
    int n = 0;
    for (auto& [id, h] : handles_)
        if (h.kind == "key" && h.key && Holds(tree, h.key)) ++n;
    return n;
}

int Machine::ReleaseLoadedLibraries() {
    int released = 0;
    for (auto it = handles_.begin(); it != handles_.end();) {
        if (it->second.kind == "library") {
            it = handles_.erase(it);
            ++released;
        } else {
            ++it;
        }
    }
    return released;
}

int Machine::CallCount(const std::string& function) const {
    auto it = calls.find(function);
    return it == calls.end() ? 0 : it->second;
}

int Machine::RegistryCallCount() const {
    int n = 0;
    for (auto& [name, count] : calls)
        if (name.rfind("Reg", 0) == 0) n += count;
    return n;
}

std::string Machine::ResolveProgram(const std::string& application, const std::string& commandLine) {
    // The program's own (long) path when a file is there.
    auto exists = [&](const std::string& p) -> std::string {
        FileEntry* f = FindFile(p);
        return f && !f->directory ? f->path : std::string();
    };
    auto isAbsolute = [](const std::string& p) {
        return (p.size() >= 3 && p[1] == ':' && p[2] == '\\') || p.rfind("\\\\", 0) == 0;
    };
    // A bare name is searched: the program's folder, the current folder
    // (unless NoDefaultCurrentDirectoryInExePath is set), the system folders,
    // the Windows folder, then PATH. A relative path is taken from the current folder.
    auto search = [&](const std::string& p) -> std::string {
        if (isAbsolute(p)) return exists(p);
        if (p.find_first_of("\\/:") != std::string::npos) return exists(currentDirectory + "\\" + p);
        std::vector<std::string> folders = {modulePath.substr(0, modulePath.find_last_of('\\'))};
        if (!env_.count("NoDefaultCurrentDirectoryInExePath")) folders.push_back(currentDirectory);
        for (const std::string& f : {systemDirectory, windowsDirectory + "\\System", windowsDirectory})
            folders.push_back(f);
        auto path = env_.find("PATH");
        if (path != env_.end()) {
            size_t pos = 0;
            while (pos <= path->second.size()) {
                size_t end = path->second.find(';', pos);
                std::string folder = path->second.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
                if (!folder.empty()) folders.push_back(folder);
                if (end == std::string::npos) break;
                pos = end + 1;
            }
        }
        for (std::string folder : folders) {
            if (!folder.empty() && folder.back() == '\\') folder.pop_back();
            std::string found = exists(folder + "\\" + p);
            if (!found.empty()) return found;
        }
        return "";
    };
    auto withExe = [&](const std::string& p) -> std::string {
        std::string found = search(p);
        if (!found.empty()) return found;
        size_t slash = p.find_last_of('\\');
        size_t dot = p.find_last_of('.');
        if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return search(p + ".exe");
        return "";
    };
    // With the application named there is no search and no default extension.
    if (!application.empty()) return exists(isAbsolute(application) ? application : currentDirectory + "\\" + application);
    if (!commandLine.empty() && commandLine[0] == '"') {
        size_t end = commandLine.find('"', 1);
        return withExe(commandLine.substr(1, end == std::string::npos ? std::string::npos : end - 1));
    }
    // Unquoted: Windows tries each blank-cut prefix in turn as the program.
    size_t pos = 0;
    while (true) {
        size_t blank = commandLine.find(' ', pos);
        std::string candidate = commandLine.substr(0, blank);
        std::string found = withExe(candidate);
        if (!found.empty()) return found;
        if (blank == std::string::npos) return "";
        pos = blank + 1;
    }
}

}  // namespace winsim
