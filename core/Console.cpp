#include "core/Console.h"

#include <cstdlib>
#include <cwctype>
#include <iostream>
#include <streambuf>

namespace ostrel {
namespace {

void appendUtf8(std::string& out, char32_t c) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

/// Unbuffered wide stream buffer that forwards UTF-8 into a narrow stream's current buffer
/// (looked up at every write, so a buffer put under the stream later is used as well).
class Utf8ForwardingBuf : public std::wstreambuf {
public:
    explicit Utf8ForwardingBuf(std::ostream& target) : target_(target) {}

protected:
    int_type overflow(int_type ch) override {
        if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
        wchar_t c = traits_type::to_char_type(ch);
        return xsputn(&c, 1) == 1 ? ch : traits_type::eof();
    }
    std::streamsize xsputn(const wchar_t* s, std::streamsize n) override {
        std::string bytes;
        bytes.reserve(size_t(n));
        for (std::streamsize i = 0; i < n; ++i) appendUtf8(bytes, char32_t(s[i]));
        std::streambuf* target = target_.rdbuf();
        if (!target) return 0;
        std::streamsize written = target->sputn(bytes.data(), std::streamsize(bytes.size()));
        return written == std::streamsize(bytes.size()) ? n : 0;
    }
    int sync() override { return target_.rdbuf() ? target_.rdbuf()->pubsync() : 0; }

private:
    std::ostream& target_;
};

bool isMessageLine(const std::string& line) {
    return line.rfind("ERROR: ", 0) == 0 || line.rfind("WARNING: ", 0) == 0;
}

ConsoleLineRouter* g_router = nullptr;

extern "C" void finishRouterAtExit() {
    if (g_router) g_router->finish();
}

}  // namespace

std::wostream& wideOut() {
    // Constructed on first use and never destroyed, so it outlives every static that prints.
    static Utf8ForwardingBuf* buffer = new Utf8ForwardingBuf(std::cout);
    static std::wostream* stream = new std::wostream(buffer);
    return *stream;
}

std::ostream& narrowOut() { return std::cout; }

void ConsoleLineRouter::finish() {
    if (!line_.empty()) {
        line_ += '\n';
        emit();
    }
    sync();
}

ConsoleLineRouter::int_type ConsoleLineRouter::overflow(int_type ch) {
    if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
    line_ += traits_type::to_char_type(ch);
    if (line_.back() == '\n') emit();
    return ch;
}

std::streamsize ConsoleLineRouter::xsputn(const char* s, std::streamsize n) {
    for (std::streamsize i = 0; i < n; ++i) {
        line_ += s[i];
        if (s[i] == '\n') emit();
    }
    return n;
}

int ConsoleLineRouter::sync() {
    int result = 0;
    if (others_ && others_->pubsync() != 0) result = -1;
    if (messages_ && messages_->pubsync() != 0) result = -1;
    return result;
}

void ConsoleLineRouter::emit() {
    if (isMessageLine(line_)) {
        if (others_) others_->pubsync();
        messages_->sputn(line_.data(), std::streamsize(line_.size()));
        messages_->pubsync();
    } else if (others_) {
        others_->sputn(line_.data(), std::streamsize(line_.size()));
    }
    line_.clear();
}

std::streambuf* routeConsoleByKind(bool messagesOnly) {
    // Lives to the end of the process, as the console streams do.
    static std::streambuf* const standardOutput = std::cout.rdbuf();
    if (!g_router) {
        g_router = new ConsoleLineRouter(messagesOnly ? nullptr : standardOutput,
                                         std::cerr.rdbuf());
        std::cout.rdbuf(g_router);
        std::atexit(finishRouterAtExit);
    }
    return standardOutput;
}

std::string toUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text) appendUtf8(out, char32_t(c));
    return out;
}

std::wstring fromUtf8(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        int extra = -1;
        char32_t c = 0;
        if (lead < 0x80) {
            extra = 0, c = lead;
        } else if ((lead >> 5) == 0x6) {
            extra = 1, c = lead & 0x1F;
        } else if ((lead >> 4) == 0xE) {
            extra = 2, c = lead & 0x0F;
        } else if ((lead >> 3) == 0x1E) {
            extra = 3, c = lead & 0x07;
        }
        bool ok = extra >= 0 && i + size_t(extra) < text.size();
        for (int k = 1; ok && k <= extra; ++k) {
            const unsigned char cont = static_cast<unsigned char>(text[i + size_t(k)]);
            ok = (cont & 0xC0) == 0x80;
            c = (c << 6) | (cont & 0x3F);
        }
        if (!ok) {
            out += L'\uFFFD';
            ++i;
            continue;
        }
        out += wchar_t(c);
        i += size_t(extra) + 1;
    }
    return out;
}

void writeLine(std::wostream* log, const std::wstring& line) {
    if (log) *log << line << std::endl;
}

std::wstring quoted(const std::wstring& text) {
    std::wstring out = L"\"";
    for (const wchar_t c : text) {
        switch (c) {
            case L'"': out += L"\\\""; break;
            case L'\\': out += L"\\\\"; break;
            case L'\n': out += L"\\n"; break;
            case L'\r': out += L"\\r"; break;
            case L'\t': out += L"\\t"; break;
            default:
                if (c < 0x20 || (c >= 0x7F && c < 0xA0)) {
                    static const wchar_t kHex[] = L"0123456789ABCDEF";
                    out += L"\\x";
                    out += kHex[(c >> 4) & 0xF];
                    out += kHex[c & 0xF];
                } else {
                    out += c;
                }
        }
    }
    return out + L"\"";
}

std::string quotedUtf8(std::string_view utf8) { return toUtf8(quoted(fromUtf8(utf8))); }

std::wstring upperCase(std::wstring_view text) {
    std::wstring upper(text);
    for (wchar_t& c : upper) c = wchar_t(std::towupper(wint_t(c)));
    return upper;
}

}  // namespace ostrel
