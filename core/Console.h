#pragma once
// The process's one console writer.
//
// The wide stream encodes every wchar_t (UTF-32) to UTF-8 straight into std::cout's buffer, so
// wide progress lines and narrow timing/solver lines reach stdout in program order. Nothing in
// Ostrel may write to std::wcout, wprintf or putwc: on glibc the first wide write would fix
// stdout's orientation and silently drop every later narrow write.

#include <iosfwd>
#include <string>
#include <string_view>

namespace ostrel {

/// The console's wide standard output (progress, messages). Unbuffered; std::flush / std::endl
/// flush stdout.
std::wostream& wideOut();

/// The console's narrow standard output (timings, solver lines): std::cout.
std::ostream& narrowOut();

/// UTF-8 <-> wide conversion used for the console, file names and the command line.
/// Invalid UTF-8 bytes decode to U+FFFD; code points that are not valid Unicode encode to U+FFFD.
std::string toUtf8(std::wstring_view text);
std::wstring fromUtf8(std::string_view text);

/// One message line on a message stream: the text, a line end and a flush; null = silent.
void writeLine(std::wostream* log, const std::wstring& line);
/// `text` between double quotes, the way messages show names.
std::wstring quoted(const std::wstring& text);
/// Every character upper-cased (towupper), as options and keys are compared.
std::wstring upperCase(std::wstring_view text);

}  // namespace ostrel
