// The machine object: its parts set up as a fresh Windows XP SP2 machine, the
// handle table, the queues of scripted answers, and the bookkeeping tests read.
#include "internals.h"

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

Internals::Internals(Machine& machine) : m(machine) {
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, HKEY_USERS})
        roots[root] = std::make_shared<RegKey>();
}

Internals& Inside(Machine& m) { return *m.internals_; }
const Internals& Inside(const Machine& m) { return *m.internals_; }

Machine::Machine(Arch arch) : arch_(arch), internals_(std::make_unique<Internals>(*this)) {
    if (g_current) throw SimulationError("a simulated machine already exists");
    SetVersion(VER_PLATFORM_WIN32_NT, 5, 1, 2600, 2);
    SetEnv("SystemRoot", "C:\\WINDOWS");
    SetEnv("SystemDrive", "C:");
    SetEnv("windir", "C:\\WINDOWS");
    SetEnv("ProgramFiles", "C:\\Program Files");
    SetEnv("USERNAME", "alice");
    SetEnv("USERPROFILE", "C:\\Documents and Settings\\alice");
    SetEnv("TEMP", "C:\\DOCUME~1\\alice\\LOCALS~1\\Temp");
    SetEnv("TMP", "C:\\DOCUME~1\\alice\\LOCALS~1\\Temp");
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

// ---- answers to boxes and dialogs ------------------------------------------------

int Internals::TakeAnswer(const std::string& title) {
    auto& answers = m.answers_;
    if (answers.empty()) throw SimulationError("message box \"" + title + "\" shown, but the test scripted no answer");
    auto [expected, answer] = answers.front();
    if (expected != title)
        throw SimulationError("message box \"" + title + "\" shown, but the test expected \"" + expected + "\"");
    answers.pop_front();
    return answer;
}

DialogScript Internals::TakeDialogScript() {
    auto& scripts = m.dialogScripts_;
    if (scripts.empty()) throw SimulationError("dialog shown, but the test scripted no way to work it");
    DialogScript script = std::move(scripts.front());
    scripts.pop_front();
    return script;
}

// ---- handles ----------------------------------------------------------------

HANDLE Internals::NewHandle(Handle h) {
    uintptr_t id = nextHandle;
    nextHandle += 4;
    handles[id] = std::move(h);
    return reinterpret_cast<HANDLE>(id);
}

Handle* Internals::GetHandle(HANDLE h, const char* kind) {
    auto it = handles.find(reinterpret_cast<uintptr_t>(h));
    if (it == handles.end()) return nullptr;
    if (kind && it->second.kind != kind) return nullptr;
    return &it->second;
}

bool Internals::CloseHandleEntry(HANDLE h) { return handles.erase(reinterpret_cast<uintptr_t>(h)) != 0; }

std::vector<std::string> Machine::OpenHandleKinds() const {
    std::vector<std::string> kinds;
    for (auto& [id, h] : internals_->handles)
        if (h.kind != "module") kinds.push_back(h.kind);
    return kinds;
}

int Machine::OpenHandles() const { return static_cast<int>(OpenHandleKinds().size()); }

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

}  // namespace winsim
