#include "user32/icons.h"

#include <map>
#include <mutex>

namespace winsim {

namespace {

struct Icon {
    std::string file;
    UINT index = 0;
};

struct IconTable {
    std::mutex lock;
    std::map<uintptr_t, Icon> icons;
    // Icon handles are 32-bit values, as Windows' user handles are, in a range apart from the
    // window handles; values are not reused, so a destroyed icon stays invalid.
    uintptr_t next = 0x00A00000;
};

IconTable &iconTable()
{
    static IconTable *table = new IconTable;
    return *table;
}

}  // namespace

HICON createIcon(const std::string &file, UINT index)
{
    IconTable &table = iconTable();
    std::lock_guard<std::mutex> guard(table.lock);
    uintptr_t handle = table.next;
    table.next += 4;
    table.icons[handle] = Icon{file, index};
    return reinterpret_cast<HICON>(handle);
}

}  // namespace winsim

extern "C" BOOL WINAPI DestroyIcon(HICON icon)
{
    winsim::IconTable &table = winsim::iconTable();
    std::lock_guard<std::mutex> guard(table.lock);
    if (table.icons.erase(reinterpret_cast<uintptr_t>(icon)) == 0) {
        SetLastError(ERROR_INVALID_CURSOR_HANDLE);
        return FALSE;
    }
    return TRUE;
}
