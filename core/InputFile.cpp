#include "core/InputFile.h"

#include <sys/stat.h>

#include "core/Console.h"

namespace ostrel {

bool isOpenableAsFile(const std::string& path) {
    struct stat s;
    // stat never opens the file, so a FIFO does not block here.
    if (::stat(path.c_str(), &s) != 0) return true;
    return S_ISREG(s.st_mode);
}

bool checkInputFile(const std::wstring& fileName, std::wostream* log) {
    if (isOpenableAsFile(toUtf8(fileName))) return true;
    writeLine(log, L"ERROR: File " + quoted(fileName) + L" is not a regular file");
    return false;
}

std::string notRegularFileReason(const std::string& path) {
    return "File " + quotedUtf8(path) + " is not a regular file";
}

}  // namespace ostrel
