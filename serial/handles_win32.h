// Owning wrappers for the Win32 handles of the serial code: kernel handles
// (ports, events, threads) and registry keys. Each closes what it holds once,
// and "no handle" is one state whether the API said NULL or
// INVALID_HANDLE_VALUE.
#pragma once

#include <windows.h>

#include <utility>

namespace korv::serialwin {

class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE h) : h_(valid(h) ? h : nullptr) {}
    ~Handle() { reset(); }
    Handle(Handle&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
    Handle& operator=(Handle&& other) noexcept
    {
        if (this != &other) {
            reset();
            h_ = std::exchange(other.h_, nullptr);
        }
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }
    void reset()
    {
        if (h_) CloseHandle(h_);
        h_ = nullptr;
    }
    // Gives up ownership without closing.
    HANDLE release() { return std::exchange(h_, nullptr); }

private:
    static bool valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    HANDLE h_ = nullptr;
};

class RegKey {
public:
    RegKey() = default;
    ~RegKey()
    {
        if (key_) RegCloseKey(key_);
    }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;

    HKEY get() const { return key_; }
    // For the API call that opens the key; only on an empty wrapper.
    HKEY* receive() { return &key_; }

private:
    HKEY key_ = nullptr;
};

// A manual-reset, initially non-signalled, unnamed event; empty on failure.
inline Handle makeManualResetEvent()
{
    return Handle(CreateEventA(nullptr, TRUE, FALSE, nullptr));
}

}  // namespace korv::serialwin
