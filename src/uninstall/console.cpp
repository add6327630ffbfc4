#include "uninstall/console.h"

#include <iostream>
#include <streambuf>

#include "platform/platform.h"

namespace vx {

namespace {

bool IsHighSurrogate(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void AppendUtf8(std::uint32_t codePoint, std::string& out) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

constexpr std::size_t kConsoleChunk = 0x4000; // UTF-16 units per WriteConsoleW
constexpr std::size_t kFileChunk = 0x10000;   // bytes per WriteFile

// Writes as long as the platform takes some of the text each time. A call
// that fails or takes nothing is not repeated: a closed pipe would fail for
// ever, and the run must go on without its output.
void WriteToConsole(platform::Handle handle, const wchar_t* text, std::size_t length) {
    while (length > 0) {
        std::size_t chunk = length > kConsoleChunk ? kConsoleChunk : length;
        if (chunk < length && IsHighSurrogate(static_cast<std::uint32_t>(text[chunk - 1]) & 0xFFFFu))
            --chunk; // the pair goes out whole in the next call
        std::uint32_t written = 0;
        if (!platform::WriteConsoleW(handle, text, static_cast<std::uint32_t>(chunk), &written) ||
            written == 0)
            return;
        const std::size_t taken = written < chunk ? written : chunk;
        text += taken;
        length -= taken;
    }
}

void WriteToFile(platform::Handle handle, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const std::size_t left = bytes.size() - done;
        const std::size_t chunk = left > kFileChunk ? kFileChunk : left;
        std::uint32_t written = 0;
        if (!platform::WriteFile(handle, bytes.data() + done, static_cast<std::uint32_t>(chunk), &written) ||
            written == 0)
            return;
        done += written < chunk ? written : chunk;
    }
}

std::string Encode(const wchar_t* text, std::size_t length, bool lineFeedAsCrLf) {
    std::string out;
    out.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        const auto unit = static_cast<std::uint32_t>(text[i]) & 0xFFFFu;
        if (IsHighSurrogate(unit) && i + 1 < length &&
            IsLowSurrogate(static_cast<std::uint32_t>(text[i + 1]) & 0xFFFFu)) {
            const auto low = static_cast<std::uint32_t>(text[i + 1]) & 0xFFFFu;
            AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), out);
            ++i;
        } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
            AppendUtf8(0xFFFD, out);
        } else {
            if (unit == 0x0Au && lineFeedAsCrLf) // a line feed
                out += '\r';
            AppendUtf8(unit, out);
        }
    }
    return out;
}

// A stream buffer over one standard handle. It keeps a surrogate pair
// together across flushes, so a pair never reaches the console or the
// UTF-8 encoder in two halves.
class StandardHandleBuffer : public std::wstreambuf {
public:
    explicit StandardHandleBuffer(std::int32_t which) : which_(which) {
        setp(buffer_, buffer_ + kSize);
    }

protected:
    int_type overflow(int_type ch) override {
        Drain();
        if (!traits_type::eq_int_type(ch, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(ch);
            pbump(1);
        }
        return traits_type::not_eof(ch);
    }

    int sync() override {
        Drain();
        return 0;
    }

private:
    static constexpr std::ptrdiff_t kSize = 1024;

    // Writes the buffered text; a high surrogate at the end waits for its
    // partner.
    void Drain() {
        std::ptrdiff_t length = pptr() - pbase();
        std::ptrdiff_t keep = 0;
        if (length > 0 && IsHighSurrogate(static_cast<std::uint32_t>(pbase()[length - 1])))
            keep = 1;
        length -= keep;
        if (length > 0)
            WriteStandardHandle(which_, pbase(), static_cast<std::size_t>(length));
        if (keep != 0)
            buffer_[0] = pbase()[length];
        setp(buffer_, buffer_ + kSize);
        pbump(static_cast<int>(keep));
    }

    std::int32_t which_;
    wchar_t buffer_[kSize];
};

} // namespace

void WriteStandardHandle(std::int32_t which, const wchar_t* text, std::size_t length) {
    const platform::Handle handle = platform::GetStdHandle(which);
    std::uint32_t mode = 0;
    if (platform::GetConsoleMode(handle, &mode))
        WriteToConsole(handle, text, length);
    else
        WriteToFile(handle, EncodeForFile(text, length));
}

std::string EncodeUtf8(const wchar_t* text, std::size_t length) { return Encode(text, length, false); }

std::string EncodeForFile(const wchar_t* text, std::size_t length) { return Encode(text, length, true); }

void SetUpConsoleStreams() {
    // The buffers live as long as the process: the streams may be flushed
    // during static destruction.
    static StandardHandleBuffer* const out = new StandardHandleBuffer(platform::kStdOutputHandle);
    static StandardHandleBuffer* const err = new StandardHandleBuffer(platform::kStdErrorHandle);
    std::wcout.rdbuf(out);
    std::wcerr.rdbuf(err);
    std::wcout.clear();
    std::wcerr.clear();
    std::wcerr.tie(&std::wcout);
    std::wcerr.setf(std::ios_base::unitbuf);
}

} // namespace vx
