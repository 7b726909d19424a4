#include "core/ByteRecord.h"

#include <cstdio>

namespace ostrel {

uint64_t checksum64(std::string_view bytes) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    return h;
}

std::string checksumText(uint64_t checksum) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(checksum));
    return text;
}

std::string frameRecord(std::string_view magic, uint32_t version, std::string_view payload) {
    ByteWriter w;
    std::string head(magic.substr(0, 8));
    head.resize(8, '\0');
    std::string out = head;
    w.put(version);
    w.put<uint64_t>(payload.size());
    out += w.bytes();
    out.append(payload);
    const uint64_t sum = checksum64(out);
    out.append(reinterpret_cast<const char*>(&sum), sizeof sum);
    return out;
}

bool unframeRecord(std::string_view file, std::string_view magic, uint32_t version,
                   std::string_view kind, std::string& payload, std::string& error) {
    constexpr size_t kHead = 8 + 4 + 8;
    if (file.size() < 8 || file.substr(0, 8) != magic.substr(0, 8)) {
        error = "not " + std::string(kind) + " file";
        return false;
    }
    if (file.size() < kHead) {
        error = "truncated";
        return false;
    }
    ByteReader r(file.substr(8, kHead - 8));
    uint32_t fileVersion = 0;
    uint64_t length = 0;
    r.get(fileVersion);
    r.get(length);
    if (fileVersion != version) {
        error = "version " + std::to_string(fileVersion) + ", this program reads " +
                std::to_string(version);
        return false;
    }
    const size_t body = file.size() - kHead;
    if (body < 8 || length > body - 8) {
        error = "truncated";
        return false;
    }
    if (length < body - 8) {
        error = "longer than its record";
        return false;
    }
    uint64_t stored = 0;
    std::memcpy(&stored, file.data() + kHead + length, sizeof stored);
    if (checksum64(file.substr(0, kHead + length)) != stored) {
        error = "checksum mismatch";
        return false;
    }
    payload.assign(file.substr(kHead, size_t(length)));
    return true;
}

}  // namespace ostrel
