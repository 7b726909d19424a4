#pragma once
// Plain binary records for files the program reads back itself (checkpoints): values appended
// in the machine's byte order (little-endian on every supported machine), read back in the same
// order with bounds checks, and a framed file of one record: magic, version, payload length,
// payload and a checksum over everything before it, so that a truncated, cut or corrupt file is
// refused instead of read.
//
// Layout of a framed record: 8 bytes magic, u32 version, u64 payload length, the payload,
// u64 checksum64 of the bytes before it. Records are meant for the machine that wrote them.

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace ostrel {

/// FNV-1a over `bytes`, 64 bits: a checksum that any changed byte, any missing or extra byte
/// changes with near certainty (not a defence against deliberate forgery).
uint64_t checksum64(std::string_view bytes);
/// The checksum as 16 lower-case hexadecimal digits.
std::string checksumText(uint64_t checksum);

/// Appends values to a byte string.
class ByteWriter {
public:
    template <typename T>
    void put(T value) {
        static_assert(std::is_trivially_copyable_v<T>);
        bytes_.append(reinterpret_cast<const char*>(&value), sizeof(T));
    }
    /// Element count (u64), then the elements.
    template <typename T>
    void putVector(const std::vector<T>& values) {
        static_assert(std::is_trivially_copyable_v<T>);
        put<uint64_t>(values.size());
        bytes_.append(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
    }
    /// Length (u64), then the bytes.
    void putString(std::string_view text) {
        put<uint64_t>(text.size());
        bytes_.append(text);
    }
    const std::string& bytes() const { return bytes_; }
    std::string take() { return std::move(bytes_); }

private:
    std::string bytes_;
};

/// Reads values back in the order they were put. A read past the end, or a count that the rest
/// cannot hold, fails: it returns false, leaves the output alone, and every later read fails too.
class ByteReader {
public:
    explicit ByteReader(std::string_view bytes) : bytes_(bytes) {}

    template <typename T>
    bool get(T& value) {
        static_assert(std::is_trivially_copyable_v<T>);
        if (!ok_ || bytes_.size() - at_ < sizeof(T)) return ok_ = false;
        std::memcpy(&value, bytes_.data() + at_, sizeof(T));
        at_ += sizeof(T);
        return true;
    }
    template <typename T>
    bool getVector(std::vector<T>& values) {
        static_assert(std::is_trivially_copyable_v<T>);
        uint64_t count = 0;
        if (!get(count) || count > (bytes_.size() - at_) / sizeof(T)) return ok_ = false;
        values.resize(size_t(count));
        // An empty vector may have no storage at all, which memcpy may not be given.
        if (count > 0) std::memcpy(values.data(), bytes_.data() + at_, size_t(count) * sizeof(T));
        at_ += size_t(count) * sizeof(T);
        return true;
    }
    bool getString(std::string& text) {
        uint64_t count = 0;
        if (!get(count) || count > bytes_.size() - at_) return ok_ = false;
        text.assign(bytes_.data() + at_, size_t(count));
        at_ += size_t(count);
        return true;
    }
    /// False once a read has failed.
    bool ok() const { return ok_; }
    /// True when every byte has been read (and no read failed).
    bool atEnd() const { return ok_ && at_ == bytes_.size(); }

private:
    std::string_view bytes_;
    size_t at_ = 0;
    bool ok_ = true;
};

/// The framed file of `payload` (see above). `magic` is 8 bytes.
std::string frameRecord(std::string_view magic, uint32_t version, std::string_view payload);

/// Checks a framed file and gives its payload; false with `error` ("not a ... file", "version
/// V, this program reads W", "truncated", "checksum mismatch", "longer than its record") naming
/// what is wrong. `kind` names the file in the first message.
bool unframeRecord(std::string_view file, std::string_view magic, uint32_t version,
                   std::string_view kind, std::string& payload, std::string& error);

}  // namespace ostrel
