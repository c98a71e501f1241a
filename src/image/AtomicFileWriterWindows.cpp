// The file writer on Windows: a temporary beside the file, flushed and put in its place
// (ReplaceFileW keeps an existing file's attributes and ACL); written in place where that is
// refused, as a plain write would not be.
#include "image/AtomicFileWriter.h"

#include <cerrno>
#include <cstdint>
#include <string>

#include <windows.h>

namespace stavenwick {

namespace {

constexpr int MAX_NAME_ATTEMPTS = 100;             // random names already taken before giving up
constexpr std::size_t MAX_BASE_IN_TEMPORARY = 200; // keeps the temporary's name within MAX_PATH

void (*g_beforeReplace)() = nullptr;

// The temporary while it exists, for the console handler (which runs on a thread of its own).
struct PendingLock {
    PendingLock() { InitializeCriticalSection(&section); }
    CRITICAL_SECTION section;
};

CRITICAL_SECTION* pendingLock()
{
    static PendingLock lock;
    return &lock.section;
}
std::wstring g_pending;

BOOL WINAPI removeTemporary(DWORD /*event*/)
{
    EnterCriticalSection(pendingLock());
    if (!g_pending.empty()) {
        DeleteFileW(g_pending.c_str()); // removed once the process lets go of it
    }
    LeaveCriticalSection(pendingLock());
    return FALSE; // then the default handler ends the program, as it would have
}

void setPending(const std::wstring& name)
{
    EnterCriticalSection(pendingLock());
    g_pending = name;
    LeaveCriticalSection(pendingLock());
}

// The reasons a caller can act on, in the same words as everywhere else; others as Windows
// gives them.
std::error_code reasonFor(DWORD code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
        return std::make_error_code(std::errc::no_such_file_or_directory);
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return SaveProblem::inUse;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
        return std::make_error_code(std::errc::permission_denied);
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return std::make_error_code(std::errc::no_space_on_device);
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return std::make_error_code(std::errc::file_exists);
    case ERROR_FILENAME_EXCED_RANGE:
        return std::make_error_code(std::errc::filename_too_long);
    default:
        return std::error_code(static_cast<int>(code), std::system_category());
    }
}

std::wstring widen(const std::string& text)
{
    const int length =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

std::string narrow(const std::wstring& text)
{
    const int length = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &result[0], length,
                        nullptr, nullptr);
    return result;
}

// The path made absolute against the working directory; as it is where that fails.
std::wstring fullPath(const std::wstring& path)
{
    const DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(length, L'\0');
    const DWORD written =
        length == 0 ? 0 : GetFullPathNameW(path.c_str(), length, &full[0], nullptr);
    if (written == 0 || written >= length) {
        return path;
    }
    full.resize(written);
    return full;
}

std::wstring randomSuffix()
{
    static std::uint64_t counter = 0;
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    std::uint64_t value = static_cast<std::uint64_t>(now.QuadPart) ^
                          (static_cast<std::uint64_t>(GetCurrentProcessId()) << 32) ^
                          ++counter * 0x9E3779B97F4A7C15u;
    value ^= value >> 29;
    value *= 0xBF58476D1CE4E5B9u;
    value ^= value >> 32;
    wchar_t text[17];
    for (int i = 15; i >= 0; --i) {
        text[i] = L"0123456789abcdef"[value & 0xF];
        value >>= 4;
    }
    text[16] = L'\0';
    return text;
}

bool writeAll(HANDLE file, const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(file, bytes, chunk, &written, nullptr) || written == 0) {
            return false;
        }
        bytes += written;
        size -= written;
    }
    return true;
}

// One save: the temporary beside the file, removed unless it replaced the file.
class Save {
public:
    Save(const std::string& path, FileError& error) : m_path(widen(path)), m_error(error) {}
    ~Save()
    {
        if (m_file != INVALID_HANDLE_VALUE) {
            CloseHandle(m_file);
        }
        if (m_target != INVALID_HANDLE_VALUE) {
            CloseHandle(m_target);
        }
        if (!m_temporary.empty()) {
            DeleteFileW(m_temporary.c_str());
            setPending(std::wstring());
        }
    }
    Save(const Save&) = delete;
    Save& operator=(const Save&) = delete;

    bool run(const void* data, std::size_t size)
    {
        if (m_path.empty()) {
            return fail(ERROR_FILE_NOT_FOUND);
        }
        if (m_path.find(L'\0') != std::wstring::npos) {
            m_error.code = std::make_error_code(std::errc::invalid_argument);
            return false; // the system would see a shorter name than the caller gave
        }
        const DWORD attributes = GetFileAttributesW(m_path.c_str());
        const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
        if (!exists && GetLastError() != ERROR_FILE_NOT_FOUND) {
            return fail(GetLastError());
        }
        if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            m_error.code = std::make_error_code(std::errc::is_a_directory);
            return false;
        }
        if (exists) {
            // a file we may not write is refused as a plain open refuses it; one that another
            // program holds but shares for writing is written, in place if need be
            m_target = CreateFileW(m_path.c_str(), GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (m_target == INVALID_HANDLE_VALUE) {
                return fail(GetLastError());
            }
            if (GetFileType(m_target) != FILE_TYPE_DISK) {
                // a device: written as it is, as before any of this; a disk file is truncated
                return writeAll(m_target, data, size) || fail(GetLastError());
            }
            // a program that holds it and shares no deleting keeps any replacement out
            HANDLE probe = CreateFileW(m_path.c_str(), DELETE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (probe == INVALID_HANDLE_VALUE) {
                return writeInPlace(data, size);
            }
            CloseHandle(probe);
        }

        // paths split on either separator
        const std::size_t slash = m_path.find_last_of(L"/\\");
        const std::wstring directory =
            slash == std::wstring::npos ? L"" : m_path.substr(0, slash + 1);
        const std::wstring name = slash == std::wstring::npos ? m_path : m_path.substr(slash + 1);
        if (!createTemporary(directory, name)) {
            const DWORD reason = GetLastError();
            if (exists && reason == ERROR_ACCESS_DENIED) {
                return writeInPlace(data, size); // the directory may not be written, the file may
            }
            if (!exists) {
                return fail(reason);
            }
            return fail(reason, "cannot create a temporary file in " +
                                    quotedName(narrow(directory.empty() ? L"." : directory)));
        }
        if (!writeAll(m_file, data, size) || !FlushFileBuffers(m_file)) {
            return fail(GetLastError());
        }
        const BOOL closed = CloseHandle(m_file);
        m_file = INVALID_HANDLE_VALUE;
        if (!closed) {
            return fail(GetLastError());
        }
        if (g_beforeReplace != nullptr) {
            g_beforeReplace();
        }
        if (m_target != INVALID_HANDLE_VALUE) {
            CloseHandle(m_target); // ours would stand in the replacement's way
            m_target = INVALID_HANDLE_VALUE;
        }
        // ReplaceFileW wants full paths: it works in the replaced file's directory by name
        BOOL replaced =
            exists ? ReplaceFileW(fullPath(m_path).c_str(), fullPath(m_temporary).c_str(), nullptr,
                                  REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)
                   : MoveFileExW(m_temporary.c_str(), m_path.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        if (!replaced && exists && GetLastError() == ERROR_UNABLE_TO_MOVE_REPLACEMENT) {
            // the old file is gone, the new one still under its temporary name
            replaced = MoveFileExW(m_temporary.c_str(), m_path.c_str(),
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        }
        if (!replaced) {
            const DWORD reason = GetLastError();
            if (!exists || (reason != ERROR_SHARING_VIOLATION && reason != ERROR_ACCESS_DENIED &&
                            reason != ERROR_UNABLE_TO_REMOVE_REPLACED)) {
                return fail(reason);
            }
            // another program holds it open and shares writing, not deleting: in place
            m_target = CreateFileW(m_path.c_str(), GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            return m_target != INVALID_HANDLE_VALUE ? writeInPlace(data, size)
                                                    : fail(GetLastError());
        }
        m_temporary.clear();
        setPending(std::wstring());
        return true;
    }

private:
    // Truncates the open disk file and writes it, as a plain open and write would.
    bool writeInPlace(const void* data, std::size_t size)
    {
        LARGE_INTEGER start{};
        if (!SetFilePointerEx(m_target, start, nullptr, FILE_BEGIN) || !SetEndOfFile(m_target) ||
            !writeAll(m_target, data, size) || !FlushFileBuffers(m_target)) {
            return fail(GetLastError());
        }
        return true;
    }

    bool fail(DWORD reason, std::string step = std::string())
    {
        m_error.code = reasonFor(reason);
        m_error.step = std::move(step);
        return false;
    }

    bool createTemporary(const std::wstring& directory, const std::wstring& name)
    {
        for (int attempt = 0; attempt < MAX_NAME_ATTEMPTS; ++attempt) {
            const std::wstring temporary = directory + L"." +
                                           name.substr(0, MAX_BASE_IN_TEMPORARY) + L"." +
                                           randomSuffix() + L".tmp";
            // shared for deletion, so that the console handler can remove it while it is open
            m_file = CreateFileW(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                                 CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (m_file != INVALID_HANDLE_VALUE) {
                m_temporary = temporary;
                setPending(temporary);
                return true;
            }
            if (GetLastError() != ERROR_FILE_EXISTS) {
                return false;
            }
        }
        return false;
    }

    std::wstring m_path;
    FileError& m_error;
    HANDLE m_file = INVALID_HANDLE_VALUE;   // the temporary
    HANDLE m_target = INVALID_HANDLE_VALUE; // an existing file, open for writing
    std::wstring m_temporary;               // empty once it replaced the file
};

} // namespace

bool writeFileAtomically(const std::string& path, const void* data, std::size_t size,
                         FileError& error)
{
    error = FileError();
    SetConsoleCtrlHandler(removeTemporary, TRUE);
    bool saved = false;
    {
        Save save(path, error);
        saved = save.run(data, size);
    }
    SetConsoleCtrlHandler(removeTemporary, FALSE);
    return saved;
}

void setBeforeChangeHook(void (*hook)())
{
    g_beforeReplace = hook;
}

} // namespace stavenwick
