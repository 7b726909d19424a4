#pragma once
// The process's one console writer.
//
// The wide stream encodes every wchar_t (UTF-32) to UTF-8 straight into std::cout's buffer, so
// wide progress lines and narrow timing/solver lines reach stdout in program order. Nothing in
// Ostrel may write to std::wcout, wprintf or putwc: on glibc the first wide write would fix
// stdout's orientation and silently drop every later narrow write.

#include <iosfwd>
#include <streambuf>
#include <string>
#include <string_view>

namespace ostrel {

/// The console's wide standard output (progress, messages). Unbuffered; std::flush / std::endl
/// flush stdout.
std::wostream& wideOut();

/// The console's narrow standard output (timings, solver lines): std::cout.
std::ostream& narrowOut();

/// A stream buffer that sorts whole lines by their kind: a line that begins with "ERROR: " or
/// "WARNING: " goes to `messages`, every other line to `others` (dropped when `others` is
/// null). Before a message the other target is flushed, so that both keep their order on one
/// terminal. A line is passed on once its line end arrives; finish() passes on a last line
/// without one (with a line end added).
class ConsoleLineRouter : public std::streambuf {
public:
    ConsoleLineRouter(std::streambuf* others, std::streambuf* messages)
        : others_(others), messages_(messages) {}
    void finish();

protected:
    int_type overflow(int_type ch) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;

private:
    void emit();
    std::streambuf* others_;
    std::streambuf* messages_;
    std::string line_;
};

/// The output rule of the command-line tools: results on standard output; errors and warnings
/// on standard error. Puts a ConsoleLineRouter under std::cout (both console streams write
/// through it) whose other lines go to the real standard output, or nowhere when
/// `messagesOnly` is set. A last line without a line end (an error that ends the process) is
/// passed on at exit. Call it once, at the start of main, before anything is printed. Returns
/// the real standard output's buffer, for results that must bypass the router.
std::streambuf* routeConsoleByKind(bool messagesOnly = false);

/// UTF-8 <-> wide conversion used for the console, file names and the command line.
/// Invalid UTF-8 bytes decode to U+FFFD; code points that are not valid Unicode encode to U+FFFD.
std::string toUtf8(std::wstring_view text);
std::wstring fromUtf8(std::string_view text);

/// One message line on a message stream: the text, a line end and a flush; null = silent.
void writeLine(std::wostream* log, const std::wstring& line);
/// `text` between double quotes, the way messages show names. A quote, a backslash and the
/// control characters inside are escaped (\", \\, \n, \r, \t, \xHH), so that a name never
/// splits a message line or ends its quotes early.
std::wstring quoted(const std::wstring& text);
/// The same for a UTF-8 name (invalid bytes show as U+FFFD).
std::string quotedUtf8(std::string_view utf8);
/// Every character upper-cased (towupper), as options and keys are compared.
std::wstring upperCase(std::wstring_view text);

}  // namespace ostrel
