// The file writer on Windows: a temporary beside the file, flushed and put in its place
// (ReplaceFileW keeps an existing file's attributes and ACL); written in place where that is
// refused, as a plain write would not be, once the room is reserved. Names are UTF-8, turned
// into the wide names the system's own calls take.
#include "image/AtomicFileWriter.h"

#include "image/TemporaryName.h"
#include "image/windows/Handle.h"
#include "image/windows/PendingTemporary.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>

#include <windows.h>

namespace stavenwick {

namespace {

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

// UTF-8 to the system's UTF-16; nothing where text is not UTF-8.
std::optional<std::wstring> widen(const std::string& text)
{
    const int size = static_cast<int>(text.size());
    const int length =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (length == 0 && size != 0) {
        return std::nullopt;
    }
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), length);
    return wide;
}

std::string narrow(const std::wstring& text)
{
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(),
                        length, nullptr, nullptr);
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
    static std::atomic<std::uint64_t> counter{0};
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

using Content = std::initializer_list<Bytes>;

bool writeAll(HANDLE file, Content content)
{
    for (const Bytes& piece : content) {
        const auto* bytes = static_cast<const unsigned char*>(piece.data);
        for (std::size_t left = piece.size; left > 0;) {
            const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
            DWORD written = 0;
            if (!WriteFile(file, bytes, chunk, &written, nullptr) || written == 0) {
                return false;
            }
            bytes += written;
            left -= written;
        }
    }
    return true;
}

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

Handle openForWriting(const std::wstring& path)
{
    return Handle(CreateFileW(path.c_str(), GENERIC_WRITE, SHARE_ALL, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool diskFull(DWORD reason)
{
    return reason == ERROR_DISK_FULL || reason == ERROR_HANDLE_DISK_FULL;
}

// Another save may hold the file for a moment (checking it, or replacing it itself): an open
// file cannot be replaced, nor a file being replaced opened. A step refused so is tried again a
// few times before the refusal counts.
template <typename Step>
bool retried(const Step& step)
{
    for (DWORD attempt = 1;; ++attempt) {
        if (step()) {
            return true;
        }
        const DWORD reason = GetLastError();
        if (attempt == MAX_OPEN_ATTEMPTS ||
            (reason != ERROR_ACCESS_DENIED && reason != ERROR_SHARING_VIOLATION)) {
            SetLastError(reason);
            return false;
        }
        Sleep(attempt);
    }
}

// One save: the temporary beside the file, removed unless it took the file's place.
class Save {
public:
    Save(const std::string& path, Content content, FileError& error)
        : m_utf8(widen(path)), m_path(m_utf8 ? *m_utf8 : std::wstring()), m_content(content),
          m_error(error)
    {
        for (const Bytes& piece : content) {
            m_size += piece.size;
        }
    }
    ~Save()
    {
        m_file.reset();
        if (m_pending) {
            DeleteFileW(m_pending->name().c_str());
        }
    }
    Save(const Save&) = delete;
    Save& operator=(const Save&) = delete;

    bool run()
    {
        if (!m_utf8) {
            m_error.code = std::make_error_code(std::errc::illegal_byte_sequence);
            return false; // a name is UTF-8, as everywhere else
        }
        if (m_path.empty()) {
            return fail(ERROR_FILE_NOT_FOUND);
        }
        if (m_path.find(L'\0') != std::wstring::npos) {
            m_error.code = std::make_error_code(std::errc::invalid_argument);
            return false; // the system would see a shorter name than the caller gave
        }
        for (int attempt = 0; attempt < MAX_OPEN_ATTEMPTS; ++attempt) {
            const DWORD attributes = GetFileAttributesW(m_path.c_str());
            const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
            if (!exists && GetLastError() != ERROR_FILE_NOT_FOUND) {
                return fail(GetLastError());
            }
            if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                m_error.code = std::make_error_code(std::errc::is_a_directory);
                return false;
            }
            if (!exists) {
                return throughTemporary(false);
            }
            retried([&] {
                m_target = openForWriting(m_path);
                return m_target.valid();
            });
            if (m_target.valid() || GetLastError() != ERROR_FILE_NOT_FOUND) {
                const std::optional<bool> settled = settleExisting();
                return settled ? *settled : throughTemporary(true);
            }
            // another save moved the file aside for a moment: look again
        }
        m_error.code = SaveProblem::changedDuringSave;
        return false;
    }

private:
    bool fail(DWORD reason, std::string step = std::string())
    {
        m_error.code = reasonFor(reason);
        m_error.step = std::move(step);
        return false;
    }

    // With the existing file opened for writing as a plain open would open it (a file we may
    // not write is refused), settles the save where no temporary may take its place: a device
    // is written as it is, a file another program holds without sharing deletion in place.
    std::optional<bool> settleExisting()
    {
        if (!m_target.valid()) {
            return fail(GetLastError());
        }
        if (GetFileType(m_target.get()) != FILE_TYPE_DISK) {
            return writeAll(m_target.get(), m_content) || fail(GetLastError());
        }
        const Handle probe(CreateFileW(m_path.c_str(), DELETE, SHARE_ALL, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!probe.valid()) {
            return writeInPlace();
        }
        m_target.reset(); // an open file cannot be replaced, by this save or another one
        return std::nullopt;
    }

    bool throughTemporary(bool exists)
    {
        // paths split on either separator
        const std::size_t slash = m_path.find_last_of(L"/\\");
        const std::wstring directory =
            slash == std::wstring::npos ? L"" : m_path.substr(0, slash + 1);
        const std::wstring name = slash == std::wstring::npos ? m_path : m_path.substr(slash + 1);
        if (!createTemporary(directory, name)) {
            const DWORD reason = GetLastError();
            if (exists && reason == ERROR_ACCESS_DENIED) {
                return reopenInPlace(); // the directory may not be written, the file may
            }
            if (!exists) {
                return fail(reason);
            }
            return fail(reason, "cannot create a temporary file in " +
                                    quotedName(narrow(directory.empty() ? L"." : directory)));
        }
        if (!writeAll(m_file.get(), m_content) || !FlushFileBuffers(m_file.get()) ||
            !m_file.close()) {
            return fail(GetLastError());
        }
        return exists ? replaceExisting() : moveIntoPlace();
    }

    bool replaceExisting()
    {
        // ReplaceFileW wants full paths: it works in the replaced file's directory by name
        const std::wstring replaced = fullPath(m_path);
        const std::wstring replacement = fullPath(m_pending->name());
        if (retried([&] {
                return ReplaceFileW(replaced.c_str(), replacement.c_str(), nullptr,
                                    REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0;
            })) {
            m_pending.reset();
            return true;
        }
        switch (const DWORD reason = GetLastError()) {
        case ERROR_UNABLE_TO_MOVE_REPLACEMENT: // the old file is gone, the new one still here
        case ERROR_FILE_NOT_FOUND: // another save moved the old one away: the name is new again
            return moveIntoPlace();
        case ERROR_SHARING_VIOLATION:
        case ERROR_ACCESS_DENIED:
        case ERROR_UNABLE_TO_REMOVE_REPLACED:
            // another program holds it open and shares writing, not deleting: in place
            return reopenInPlace();
        default:
            return fail(reason);
        }
    }

    // The existing file, closed so that it could be replaced, opened again and written in place.
    bool reopenInPlace()
    {
        retried([&] {
            m_target = openForWriting(m_path);
            return m_target.valid();
        });
        return m_target.valid() ? writeInPlace() : fail(GetLastError());
    }

    bool moveIntoPlace()
    {
        if (!retried([&] {
                return MoveFileExW(m_pending->name().c_str(), m_path.c_str(),
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
            })) {
            return fail(GetLastError());
        }
        m_pending.reset();
        return true;
    }

    // Rewrites the open disk file as a plain write would, but keeps it whole where the room
    // cannot be had: the room reserved first (or, where the file system cannot reserve it,
    // seen free), then written from the start, cut to size, flushed.
    bool writeInPlace()
    {
        LARGE_INTEGER size{};
        FILE_ALLOCATION_INFO room{};
        room.AllocationSize.QuadPart = static_cast<LONGLONG>(m_size);
        if (GetFileSizeEx(m_target.get(), &size) && size.QuadPart < room.AllocationSize.QuadPart &&
            !SetFileInformationByHandle(m_target.get(), FileAllocationInfo, &room, sizeof room)) {
            const DWORD reason = GetLastError();
            ULARGE_INTEGER free{};
            const std::wstring directory = m_path.substr(0, m_path.find_last_of(L"/\\") + 1);
            const auto adds = static_cast<ULONGLONG>(room.AllocationSize.QuadPart - size.QuadPart);
            if (diskFull(reason) ||
                (GetDiskFreeSpaceExW(directory.empty() ? nullptr : directory.c_str(), &free,
                                     nullptr, nullptr) &&
                 free.QuadPart < adds + adds / 128 + 65536)) {
                return fail(ERROR_DISK_FULL);
            }
        }
        LARGE_INTEGER start{};
        if (!SetFilePointerEx(m_target.get(), start, nullptr, FILE_BEGIN) ||
            !writeAll(m_target.get(), m_content) || !SetEndOfFile(m_target.get()) ||
            !FlushFileBuffers(m_target.get())) {
            return fail(GetLastError());
        }
        return true;
    }

    bool createTemporary(const std::wstring& directory, const std::wstring& name)
    {
        for (int attempt = 0; attempt < MAX_NAME_ATTEMPTS; ++attempt) {
            std::wstring temporary = directory + temporaryName(name, randomSuffix());
            // shared for deletion, so that the console handler can remove it while it is open
            m_file.reset(CreateFileW(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                                     CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (m_file.valid()) {
                m_pending.emplace(std::move(temporary));
                return true;
            }
            if (GetLastError() != ERROR_FILE_EXISTS) {
                return false;
            }
        }
        return false;
    }

    std::optional<std::wstring> m_utf8; // the name, where it is UTF-8
    std::wstring m_path;
    Content m_content;
    std::size_t m_size = 0;
    FileError& m_error;
    Handle m_file;                             // the temporary while it is written
    Handle m_target;                           // an existing file, open for writing
    std::optional<PendingTemporary> m_pending; // the temporary's name until it took the place
};
} // namespace

bool writeFileAtomically(const std::string& path, std::initializer_list<Bytes> content,
                         FileError& error)
{
    error = FileError();
    Save save(path, content, error);
    return save.run();
}

} // namespace stavenwick
