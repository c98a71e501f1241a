#include "image/windows/PendingTemporary.h"

#include <mutex>
#include <set>
#include <utility>

#include <windows.h>

namespace stavenwick {

namespace {

// Every save's temporaries, under one lock: the handler runs on a thread of its own.
struct Registry {
    std::mutex lock;
    std::multiset<std::wstring> names;
};

Registry& registry()
{
    static Registry theRegistry;
    return theRegistry;
}

} // namespace

BOOL WINAPI PendingTemporary::onConsoleEvent(DWORD /*event*/)
{
    Registry& pending = registry();
    const std::lock_guard<std::mutex> held(pending.lock);
    for (const std::wstring& name : pending.names) {
        DeleteFileW(name.c_str()); // shared for deletion: gone once the process lets go of it
    }
    return FALSE; // then the default handler ends the program, as it would have
}

PendingTemporary::PendingTemporary(std::wstring name) : m_name(std::move(name))
{
    static const bool installed = SetConsoleCtrlHandler(onConsoleEvent, TRUE) != 0;
    static_cast<void>(installed);
    Registry& pending = registry();
    const std::lock_guard<std::mutex> held(pending.lock);
    pending.names.insert(m_name);
}

PendingTemporary::~PendingTemporary()
{
    Registry& pending = registry();
    const std::lock_guard<std::mutex> held(pending.lock);
    pending.names.erase(pending.names.find(m_name));
}

} // namespace stavenwick
