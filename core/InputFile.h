#pragma once
// The check every reader of an input file makes before it opens the file: a name that exists
// but is no regular file (a folder, a FIFO, a device, a socket) is refused at once, since
// opening a FIFO for reading waits for a writer for ever and a device or folder gives no file
// content. Links are followed. A name that does not exist passes: the reader's own open then
// fails with its usual message.

#include <iosfwd>
#include <string>

namespace ostrel {

/// False when the UTF-8 path names an existing thing that is no regular file (after links).
bool isOpenableAsFile(const std::string& path);

/// The same check with its message: prints "ERROR: File "<name>" is not a regular file" on
/// `log` (null = silent) and returns false when the check fails.
bool checkInputFile(const std::wstring& fileName, std::wostream* log);

/// The message text without "ERROR: ", for readers that return their reason as a string.
std::string notRegularFileReason(const std::string& path);

}  // namespace ostrel
