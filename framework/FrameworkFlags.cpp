#include "framework/FrameworkFlags.h"

#include <ostream>

#include "core/Console.h"
#include "core/NumberText.h"

namespace ostrel {
namespace {

/// The number at the start of `text` (blanks before it skipped, text after it ignored); `value`
/// keeps its default when there is none.
template <typename T>
void readNumber(const std::wstring& text, T& value) {
    NumberScanner(scannableText(text)).read(value);
}

/// Applies one flag (name upper-cased, value as written). False when the name is unknown.
bool applyFlag(const std::wstring& name, const std::wstring& value, bool hasValue,
               FrameworkFlags& flags) {
    if (name == L"WIDTH") {
        readNumber(value, flags.width);
    } else if (name == L"HEIGHT") {
        readNumber(value, flags.height);
    } else if (name == L"STARTX") {
        readNumber(value, flags.startX);
    } else if (name == L"STARTY") {
        readNumber(value, flags.startY);
    } else if (name == L"WINDOWED") {
        flags.windowed = true;
    } else if (name == L"FULLSCREEN") {
        flags.fullScreen = true;
    } else if (name == L"FORCEVSYNC") {
        int v = flags.forceVsync;
        readNumber(value, v);
        if (hasValue)
            flags.forceVsync = v != 0 ? 1 : 0;
    } else if (name == L"CONSTANTFRAMETIME") {
        readNumber(value, flags.constantFrameTimeMs);
    } else if (name == L"QUITAFTERFRAME") {
        readNumber(value, flags.quitAfterFrame);
    } else if (name == L"SCREENSHOTEXIT") {
        flags.screenshotExit = toUtf8(value);
    } else if (name == L"SCREENSHOTONSIGNAL") {
        flags.screenshotOnSignal = toUtf8(value);
    } else if (name == L"NOERRORMSGBOXES") {
        flags.noErrorMsgBoxes = true;
    } else if (name == L"NOSTATS") {
        flags.noStats = true;
    } else if (name == L"AUTOMATION") {
        flags.automation = true;
    } else if (name == L"ADAPTER" || name == L"OUTPUT" || name == L"FORCEFEATURELEVEL" ||
               name == L"FORCEHAL" || name == L"FORCEREF" || name == L"FORCEWARP") {
        // One OpenGL device: nothing to choose.
    } else {
        return false;
    }
    return true;
}

}  // namespace

FrameworkFlags parseFrameworkFlags(const std::vector<std::wstring>& args,
                                   const std::vector<bool>& appOwned, std::ostream* err) {
    FrameworkFlags flags;
    for (size_t i = 1; i < args.size(); ++i) {
        if (i < appOwned.size() && appOwned[i])
            continue;
        const std::wstring& arg = args[i];
        bool known = false;
        if (arg.size() > 1 && arg[0] == L'-') {
            const size_t colon = arg.find(L':');
            const std::wstring name = upperCase(
                arg.substr(1, colon == std::wstring::npos ? std::wstring::npos : colon - 1));
            const bool hasValue = colon != std::wstring::npos;
            const std::wstring value = hasValue ? arg.substr(colon + 1) : std::wstring();
            known = applyFlag(name, value, hasValue, flags);
        }
        if (!known && err)
            *err << "Unrecognized flag: " << toUtf8(arg) << "\n" << std::flush;
    }
    return flags;
}

}  // namespace ostrel
