// What every reference program of the benchmark needs of Win32: errors that
// carry the failing call and GetLastError(), an owner for kernel handles, a
// QueryPerformanceCounter stopwatch and the parsing of a count argument.
//
// Threads: none of its own; each object belongs to the thread that made it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

namespace bench {

class Win32Error : public std::runtime_error {
public:
    Win32Error(const std::string& call, DWORD code)
        : std::runtime_error(call + " failed: error " + std::to_string(code)), code_(code)
    {
    }
    DWORD code() const { return code_; }

private:
    DWORD code_;
};

// To be called right after the failed call, before anything else can touch
// the thread's last error.
[[noreturn]] inline void throwLastError(const std::string& call)
{
    const DWORD code = GetLastError();
    throw Win32Error(call, code);
}

// Owns one kernel handle (a port, an event); never INVALID_HANDLE_VALUE.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
    ~UniqueHandle()
    {
        if (h_ != nullptr) CloseHandle(h_);
    }
    UniqueHandle(UniqueHandle&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        UniqueHandle(std::move(other)).swap(*this);
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    HANDLE get() const { return h_; }
    void swap(UniqueHandle& other) noexcept { std::swap(h_, other.h_); }

private:
    HANDLE h_ = nullptr;
};

inline UniqueHandle makeManualResetEvent()
{
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (e == nullptr) throwLastError("CreateEventA");
    return UniqueHandle(e);
}

// Seconds from QueryPerformanceCounter.
class Stopwatch {
public:
    Stopwatch()
    {
        if (!QueryPerformanceFrequency(&frequency_)) throwLastError("QueryPerformanceFrequency");
        start_ = now();
    }
    double seconds() const { return static_cast<double>(now() - start_) / static_cast<double>(frequency_.QuadPart); }

private:
    static LONGLONG now()
    {
        LARGE_INTEGER t{};
        if (!QueryPerformanceCounter(&t)) throwLastError("QueryPerformanceCounter");
        return t.QuadPart;
    }

    LARGE_INTEGER frequency_{};
    LONGLONG start_ = 0;
};

// Parses a decimal count of at least 1; 0 when the text is not one.
inline std::uint64_t parseCount(const char* text)
{
    std::uint64_t n = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || n > (UINT64_MAX - 9) / 10) return 0;
        n = n * 10 + static_cast<std::uint64_t>(*p - '0');
    }
    return n;
}

}  // namespace bench
