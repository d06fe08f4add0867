// Icon handles of the process: made by the functions that load icons (shell32's ExtractIconA),
// ended by DestroyIcon.
#pragma once

#include <windows.h>

#include <string>

namespace winsim {

// A new icon handle for the icon at `index` of a file.
HICON createIcon(const std::string &file, UINT index);

}  // namespace winsim
