// A temporary of a save in progress, registered for as long as it lives so that a console event
// that ends the program (Ctrl+C, a closed console) does not leave it behind.
#pragma once

#include <string>

#include <windows.h>

namespace stavenwick {

class PendingTemporary {
public:
    // Registers the file's name, from any thread; the console handler that removes the
    // registered files is installed with the first one, once for the process.
    explicit PendingTemporary(std::wstring name);
    ~PendingTemporary();
    PendingTemporary(const PendingTemporary&) = delete;
    PendingTemporary& operator=(const PendingTemporary&) = delete;

    const std::wstring& name() const { return m_name; }

    // The console handler: removes every registered file, then returns FALSE, so that the
    // default handler ends the program as it would have.
    static BOOL WINAPI onConsoleEvent(DWORD event);

private:
    std::wstring m_name;
};

} // namespace stavenwick
