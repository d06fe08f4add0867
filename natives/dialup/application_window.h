// The title of the application's main window, set by Pallux.SetTitle: how one instance of the
// application finds another that already runs, and how the indicator brings it forward.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace pallux {

// Replaces the title; readers on other threads keep the copy they took.
void setApplicationTitle(std::string title);
// The title last set, nullopt before the first SetTitle.
std::optional<std::string> applicationTitle();

// The first top-level window titled with the application's title (with no title yet: the
// first top-level window of the desktop); null when there is none.
HWND findApplicationWindow();

}  // namespace pallux
