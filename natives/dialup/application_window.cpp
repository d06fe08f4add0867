#include "application_window.h"

#include <mutex>

namespace pallux {

namespace {

struct Title {
    std::mutex lock;
    std::optional<std::string> text;
};

Title &title()
{
    // Never destroyed: natives may still run on other threads while the library unloads.
    static Title *const state = new Title;
    return *state;
}

}  // namespace

void setApplicationTitle(std::string text)
{
    Title &state = title();
    std::lock_guard<std::mutex> guard(state.lock);
    state.text = std::move(text);
}

std::optional<std::string> applicationTitle()
{
    Title &state = title();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.text;
}

HWND findApplicationWindow()
{
    std::optional<std::string> text = applicationTitle();
    return FindWindowA(nullptr, text ? text->c_str() : nullptr);
}

}  // namespace pallux
