#include "uuid.hpp"

#include <cerrno>
#include <cstddef>
#include <optional>
#include <system_error>

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace quenlith_types {
namespace {

// ---------------------------------------------------------------------------
// Random source

// Owns one file descriptor.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    [[nodiscard]] int get() const noexcept { return fd_; }

private:
    int fd_;
};

// Reads from /dev/urandom, for kernels that predate getrandom(2).
void fill_from_urandom(std::uint8_t* out, std::size_t size) {
    const FileDescriptor fd(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) throw std::system_error(errno, std::generic_category(), "open /dev/urandom");
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t got = ::read(fd.get(), out + filled, size - filled);
        if (got > 0) {
            filled += static_cast<std::size_t>(got);
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            throw std::system_error(got == 0 ? EIO : errno, std::generic_category(), "read /dev/urandom");
        }
    }
}

void fill_random(std::uint8_t* out, std::size_t size) {
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t got = ::getrandom(out + filled, size - filled, 0);
        if (got >= 0) {
            filled += static_cast<std::size_t>(got);
        } else if (errno == EINTR) {
            continue;
        } else if (errno == ENOSYS) {
            fill_from_urandom(out + filled, size - filled);
            return;
        } else {
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
    }
}

// ---------------------------------------------------------------------------
// Text forms

constexpr std::string_view kUrnPrefix = "urn:uuid:";
constexpr std::string_view kHexDigits = "0123456789abcdef";
constexpr std::array<std::size_t, 5> kGroupLengths = {8, 4, 4, 4, 12};
constexpr std::size_t kSimpleLength = 32;
constexpr std::size_t kHyphenatedLength = 36;
// Offset of the last group in a hyphenated text (8+1+4+1+4+1+4+1).
constexpr std::size_t kLastGroupStart = 24;

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_hyphen_position(std::size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

// How the text wraps its digits: nothing, "{...}" (the closing brace being
// optional here so that a missing one is reported as a length fault), or
// the URN prefix.
struct Framing {
    std::size_t prefix = 0;
    bool closing_brace = false;
    std::string_view body;
};

Framing frame(std::string_view text) {
    Framing framing;
    if (text.starts_with(kUrnPrefix)) {
        framing.prefix = kUrnPrefix.size();
    } else if (text.starts_with('{')) {
        framing.prefix = 1;
        framing.closing_brace = text.size() > 1 && text.ends_with('}');
    }
    const std::size_t closing = framing.closing_brace ? 1 : 0;
    framing.body = text.substr(framing.prefix, text.size() - framing.prefix - closing);
    return framing;
}

// Decodes 32 hex digits, skipping hyphens where the hyphenated form has them.
std::optional<Uuid> decode_digits(std::string_view body, bool hyphenated) {
    Uuid uuid;
    std::size_t nibble = 0;
    for (std::size_t i = 0; i < body.size(); ++i) {
        if (hyphenated && is_hyphen_position(i)) {
            if (body[i] != '-') return std::nullopt;
            continue;
        }
        const int value = hex_value(body[i]);
        if (value < 0 || nibble >= 32) return std::nullopt;
        auto& byte = uuid.bytes[nibble / 2];
        byte = static_cast<std::uint8_t>(nibble % 2 == 0 ? value << 4 : byte | value);
        ++nibble;
    }
    if (nibble != 32) return std::nullopt;
    return uuid;
}

std::optional<Uuid> decode_accepted_form(const Framing& framing) {
    const bool wrapped = framing.prefix == kUrnPrefix.size() ||
                         (framing.prefix == 1 && framing.closing_brace);
    if (framing.prefix == 0 && framing.body.size() == kSimpleLength) {
        return decode_digits(framing.body, false);
    }
    if ((framing.prefix == 0 || wrapped) && framing.body.size() == kHyphenatedLength) {
        return decode_digits(framing.body, true);
    }
    return std::nullopt;
}

// Length of the well-formed UTF-8 character starting at `i`, or 0.
std::size_t utf8_char_length(std::string_view s, std::size_t i) {
    const auto lead = static_cast<unsigned char>(s[i]);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) length = 3;
    else if (lead >= 0xF0 && lead <= 0xF4) length = 4;
    else return 0;
    if (lead == 0xE0) low = 0xA0;  // overlong
    if (lead == 0xED) high = 0x9F; // surrogates
    if (lead == 0xF0) low = 0x90;  // overlong
    if (lead == 0xF4) high = 0x8F; // above U+10FFFF
    if (i + length > s.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        const auto byte = static_cast<unsigned char>(s[i + k]);
        const unsigned char min = k == 1 ? low : 0x80, max = k == 1 ? high : 0xBF;
        if (byte < min || byte > max) return 0;
    }
    return length;
}

// The character at `i` as it should appear in a message: itself when it is
// well-formed UTF-8, the replacement character otherwise, so that the
// message stays valid text.
std::string_view printable_char_at(std::string_view s, std::size_t i) {
    const std::size_t length = utf8_char_length(s, i);
    return length == 0 ? std::string_view("\xEF\xBF\xBD") : s.substr(i, length);
}

std::string group_length_message(std::size_t group, std::size_t found) {
    return "invalid group length in group " + std::to_string(group) + ": expected " +
           std::to_string(kGroupLengths[group]) + ", found " + std::to_string(found);
}

// Explains why `text` is not one of the accepted forms. The checks run in a
// fixed order so that each bad text gets exactly one, predictable message.
std::string describe_rejection(std::string_view text, const Framing& framing) {
    const std::string_view body = framing.body;
    std::size_t hyphens = 0;
    for (std::size_t i = 0; i < body.size(); ++i) {
        if (body[i] == '-') {
            ++hyphens;
        } else if (hex_value(body[i]) < 0) {
            const std::size_t at = framing.prefix + i;
            return "invalid character: found `" + std::string(printable_char_at(text, at)) +
                   "` at " + std::to_string(at + 1);
        }
    }
    if (hyphens == 0 && framing.prefix == 0) {
        return "invalid length: expected length 32 for simple format, found " +
               std::to_string(text.size());
    }
    if (hyphens != 4) {
        return "invalid group count: expected 5, found " + std::to_string(hyphens + 1);
    }
    std::size_t group = 0, group_start = 0;
    for (std::size_t i = 0; i < body.size() && group < 4; ++i) {
        if (body[i] != '-') continue;
        if (i - group_start != kGroupLengths[group]) {
            return group_length_message(group, i - group_start);
        }
        ++group;
        group_start = i + 1;
    }
    // The first four groups are right, so the fault lies in the last group or
    // in the framing around it; the whole text's length shows both. When that
    // happens to look right (a braced text missing its '}' and one digit),
    // report the group's own length instead.
    const std::size_t whole_text_found = text.size() - kLastGroupStart;
    const std::size_t found =
        whole_text_found != kGroupLengths[4] ? whole_text_found : body.size() - group_start;
    return group_length_message(4, found);
}

}  // namespace

Uuid Uuid::new_v4() {
    Uuid uuid;
    fill_random(uuid.bytes.data(), uuid.bytes.size());
    uuid.bytes[6] = static_cast<std::uint8_t>((uuid.bytes[6] & 0x0F) | 0x40);  // version 4
    uuid.bytes[8] = static_cast<std::uint8_t>((uuid.bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return uuid;
}

std::string Uuid::to_hyphenated() const {
    std::string text;
    text.reserve(kHyphenatedLength);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
        text.push_back(kHexDigits[bytes[i] >> 4]);
        text.push_back(kHexDigits[bytes[i] & 0x0F]);
    }
    return text;
}

Expected<Uuid, std::string> parse_uuid(std::string_view text) {
    const Framing framing = frame(text);
    if (auto uuid = decode_accepted_form(framing)) return *uuid;
    return fail(describe_rejection(text, framing));
}

}  // namespace quenlith_types
