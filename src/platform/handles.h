// Owners for Windows handles: each releases its handle when it goes out of
// scope, so that no key, file, search, process or token outlives the operation
// that opened it on any path.
#pragma once

#include <windows.h>

#include <utility>

namespace kestrup {

template <typename Traits>
class UniqueHandle {
public:
    using Type = typename Traits::Type;
    UniqueHandle() = default;
    explicit UniqueHandle(Type h) : h_(h) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : h_(std::exchange(other.h_, Traits::Invalid())) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset();
            h_ = std::exchange(other.h_, Traits::Invalid());
        }
        return *this;
    }

    Type get() const { return h_; }
    bool valid() const { return h_ != Traits::Invalid(); }
    explicit operator bool() const { return valid(); }
    // For calls that hand the handle back through a pointer.
    Type* receive() {
        reset();
        return &h_;
    }
    void reset() {
        if (valid()) Traits::Close(h_);
        h_ = Traits::Invalid();
    }
    // Gives the handle up without closing it, for a caller that closes it and
    // needs the answer.
    Type release() { return std::exchange(h_, Traits::Invalid()); }

private:
    Type h_ = Traits::Invalid();
};

struct KeyTraits {
    using Type = HKEY;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { RegCloseKey(h); }
};

struct KernelTraits {  // processes, threads, tokens
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { CloseHandle(h); }
};

struct FileTraits {  // CreateFile answers INVALID_HANDLE_VALUE on failure
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { CloseHandle(h); }
};

struct FindTraits {
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { FindClose(h); }
};

struct LibraryTraits {  // LoadLibraryA answers NULL on failure
    using Type = HMODULE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { FreeLibrary(h); }
};

using KeyHandle = UniqueHandle<KeyTraits>;
using KernelHandle = UniqueHandle<KernelTraits>;
using FileHandle = UniqueHandle<FileTraits>;
using FindHandle = UniqueHandle<FindTraits>;
using SnapshotHandle = UniqueHandle<FileTraits>;  // CreateToolhelp32Snapshot too answers INVALID_HANDLE_VALUE
using LibraryHandle = UniqueHandle<LibraryTraits>;

// A started process's two handles, closed together.
struct ProcessHandles {
    KernelHandle process;
    KernelHandle thread;
    DWORD id = 0;  // not given to another process while the handle is open
    void adopt(const PROCESS_INFORMATION& info) {
        process = KernelHandle(info.hProcess);
        thread = KernelHandle(info.hThread);
        id = info.dwProcessId;
    }
};

}  // namespace kestrup
