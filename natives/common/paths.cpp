#include "paths.h"

#include <cstring>
#include <string>

namespace pallux {

WCHAR *toLongPath(WCHAR *path, size_t length, bool *copied)
{
    static const WCHAR kPrefix[] = {'\\', '\\', '?', '\\'};
    static const WCHAR kUncPrefix[] = {'\\', '\\', '?', '\\', 'U', 'N', 'C'};
    *copied = false;
    if (length >= 4 && memcmp(path, kPrefix, sizeof kPrefix) == 0)
        return path;
    const bool unc = length >= 2 && path[0] == '\\' && path[1] == '\\';
    // "\\server\share" keeps its second backslash behind "\\?\UNC": "\\?\UNC\server\share".
    const WCHAR *prefix = unc ? kUncPrefix : kPrefix;
    const size_t prefixUnits = unc ? 7 : 4;
    const WCHAR *rest = unc ? path + 1 : path;
    const size_t restUnits = unc ? length - 1 : length;
    auto *longer = static_cast<WCHAR *>(malloc(length * 2 + (unc ? 20 : 16)));
    if (!longer)
        return nullptr;
    memcpy(longer, prefix, prefixUnits * 2);
    memcpy(longer + prefixUnits, rest, restUnits * 2);
    longer[prefixUnits + restUnits] = 0;
    *copied = true;
    return longer;
}

NativePath::NativePath(JNIEnv *env, jstring path) : path_(javaStringToWide(env, path))
{
    if (!path_)
        return;
    size_t length = std::char_traits<WCHAR>::length(path_.get());
    if (length < kLongPathThreshold)
        return;
    bool copied = false;
    WCHAR *longer = toLongPath(path_.get(), length, &copied);
    if (!longer)
        path_.reset();
    else if (copied)
        path_.reset(longer);
}

}  // namespace pallux
