#include "json_text.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>

namespace quenlith_types {
namespace {

// ---------------------------------------------------------------------------
// UTF-8

struct Utf8Fault {
    std::size_t index;   // where the bad sequence starts
    std::size_t length;  // bytes of it that were still well-formed (>= 1)
    bool incomplete;     // cut off by the end of input rather than wrong
};

// Continuation bytes a lead byte announces, or -1 for a byte that cannot
// start a sequence (continuation bytes, overlong C0/C1, F5 and above).
int continuation_count(unsigned char lead) {
    if (lead < 0x80) return 0;
    if (lead >= 0xC2 && lead <= 0xDF) return 1;
    if (lead >= 0xE0 && lead <= 0xEF) return 2;
    if (lead >= 0xF0 && lead <= 0xF4) return 3;
    return -1;
}

// The second byte is narrower than 80..BF after a few leads: that is what
// rules out overlong forms, surrogates and code points above U+10FFFF.
bool second_byte_fits(unsigned char lead, unsigned char byte) {
    switch (lead) {
        case 0xE0: return byte >= 0xA0 && byte <= 0xBF;
        case 0xED: return byte >= 0x80 && byte <= 0x9F;
        case 0xF0: return byte >= 0x90 && byte <= 0xBF;
        case 0xF4: return byte >= 0x80 && byte <= 0x8F;
        default: return byte >= 0x80 && byte <= 0xBF;
    }
}

std::optional<Utf8Fault> find_utf8_fault(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        const int continuations = continuation_count(lead);
        if (continuations < 0) return Utf8Fault{i, 1, false};
        for (int k = 1; k <= continuations; ++k) {
            if (i + k >= bytes.size()) return Utf8Fault{i, static_cast<std::size_t>(k), true};
            const auto byte = static_cast<unsigned char>(bytes[i + k]);
            const bool fits = k == 1 ? second_byte_fits(lead, byte) : (byte & 0xC0) == 0x80;
            if (!fits) return Utf8Fault{i, static_cast<std::size_t>(k), false};
        }
        i += static_cast<std::size_t>(continuations) + 1;
    }
    return std::nullopt;
}

// Replaces each ill-formed sequence with U+FFFD so that a message quoting
// foreign bytes is still valid text.
std::string to_valid_utf8(std::string_view bytes) {
    std::string out;
    while (const auto fault = find_utf8_fault(bytes)) {
        out.append(bytes.substr(0, fault->index)).append("\xEF\xBF\xBD");
        bytes.remove_prefix(std::min(bytes.size(), fault->index + fault->length));
    }
    return out.append(bytes);
}

void append_utf8(std::string& out, std::uint32_t code_point) {
    if (code_point < 0x80) {
        out += static_cast<char>(code_point);
    } else if (code_point < 0x800) {
        out += static_cast<char>(0xC0 | (code_point >> 6));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
        out += static_cast<char>(0xE0 | (code_point >> 12));
        out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code_point >> 18));
        out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    }
}

// ---------------------------------------------------------------------------
// One JSON string, as the store keeps enumeration values

std::string at_column(std::string message, std::size_t column) {
    return message.append(" at line 1 column ").append(std::to_string(column));
}

bool is_json_whitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_leading_surrogate(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_trailing_surrogate(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Reads one quoted JSON string from the start of a text. The text is one
// stored value, so a fault is placed on line 1 at the number of bytes
// consumed when it was found.
class StringReader {
public:
    explicit StringReader(std::string_view quoted) : text_(quoted) {}

    // The decoded string, up to the first unescaped quote.
    Expected<std::string, std::string> read() {
        std::string decoded;
        ++pos_;  // the opening quote
        for (;;) {
            if (at_end()) return fail(at_column("EOF while parsing a string", pos_));
            const char c = text_[pos_++];
            if (c == '"') break;
            if (static_cast<unsigned char>(c) < 0x20) {
                return fail(at_column("control character (\\u0000-\\u001F) found while parsing a string", pos_));
            }
            if (c != '\\') {
                decoded += c;
            } else if (auto escape = read_escape(decoded); !escape) {
                return fail(std::move(escape).error());
            }
        }
        if (find_utf8_fault(decoded)) return fail(at_column("invalid unicode code point", pos_));
        return decoded;
    }

    // Fails when anything but whitespace follows the string.
    Expected<void, std::string> expect_end() {
        while (!at_end() && is_json_whitespace(text_[pos_])) ++pos_;
        if (at_end()) return {};
        return fail(at_column("trailing characters", pos_ + 1));
    }

private:
    [[nodiscard]] bool at_end() const { return pos_ == text_.size(); }

    // After a backslash.
    Expected<void, std::string> read_escape(std::string& decoded) {
        if (at_end()) return fail(at_column("EOF while parsing a string", pos_));
        switch (text_[pos_++]) {
            case '"': decoded += '"'; break;
            case '\\': decoded += '\\'; break;
            case '/': decoded += '/'; break;
            case 'b': decoded += '\b'; break;
            case 'f': decoded += '\f'; break;
            case 'n': decoded += '\n'; break;
            case 'r': decoded += '\r'; break;
            case 't': decoded += '\t'; break;
            case 'u': return read_unicode_escape(decoded);
            default: return fail(at_column("invalid escape", pos_));
        }
        return {};
    }

    // After "\u": one code unit, or a surrogate pair spelled as two escapes.
    Expected<void, std::string> read_unicode_escape(std::string& decoded) {
        const auto first = read_hex4();
        if (!first) return fail(first.error());
        const std::uint32_t unit = first.value();
        if (is_trailing_surrogate(unit)) return lone_surrogate();
        if (!is_leading_surrogate(unit)) {
            append_utf8(decoded, unit);
            return {};
        }
        for (const char expected : {'\\', 'u'}) {
            if (at_end()) return fail(at_column("EOF while parsing a string", pos_));
            if (text_[pos_++] != expected) return lone_surrogate();
        }
        const auto second = read_hex4();
        if (!second) return fail(second.error());
        const std::uint32_t low = second.value();
        if (!is_trailing_surrogate(low)) return lone_surrogate();
        append_utf8(decoded, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        return {};
    }

    Expected<std::uint32_t, std::string> read_hex4() {
        if (text_.size() - pos_ < 4) {
            pos_ = text_.size();
            return fail(at_column("EOF while parsing a string", pos_));
        }
        std::uint32_t unit = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = hex_value(text_[pos_++]);
            if (digit < 0) return fail(at_column("invalid escape", pos_));
            unit = unit << 4 | static_cast<std::uint32_t>(digit);
        }
        return unit;
    }

    Failure<std::string> lone_surrogate() const {
        return fail(at_column("lone leading surrogate in hex escape", pos_));
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

std::string unknown_variant_message(std::string_view decoded,
                                    std::span<const std::string_view> variants) {
    std::string message = "unknown variant `";
    message.append(decoded).append("`, ");
    if (variants.empty()) return message.append("there are no variants");
    message.append("expected ");
    if (variants.size() == 2) {
        return message.append("`").append(variants[0]).append("` or `").append(variants[1]).append("`");
    }
    if (variants.size() > 2) message.append("one of ");
    for (std::size_t i = 0; i < variants.size(); ++i) {
        if (i > 0) message.append(", ");
        message.append("`").append(variants[i]).append("`");
    }
    return message;
}

// ---------------------------------------------------------------------------
// Whole JSON values

// Line and column (1-based, in bytes) of the byte at `index`.
struct TextPosition {
    std::size_t line;
    std::size_t column;
};

TextPosition position_of(std::string_view text, std::size_t index) {
    TextPosition position{1, index + 1};
    for (std::size_t i = 0; i < index; ++i) {
        if (text[i] == '\n') {
            ++position.line;
            position.column = index - i;
        }
    }
    return position;
}

// Finds the bracket that opens the kMaxJsonDepth-th nested level, skipping
// brackets inside strings. Refusing such input up front keeps the parser
// from ever nesting that deep.
std::optional<std::size_t> find_excess_nesting(std::string_view text) {
    int depth = 0;
    bool in_string = false, escaped = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth >= kMaxJsonDepth) return i;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return std::nullopt;
}

// nlohmann prefixes its messages with "[json.exception.<kind>.<id>] ".
std::string readable_message(const nlohmann::json::exception& error) {
    std::string_view message = error.what();
    if (message.starts_with("[json.exception.")) {
        const std::size_t end = message.find("] ");
        if (end != std::string_view::npos) message.remove_prefix(end + 2);
    }
    return to_valid_utf8(message);
}

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

}  // namespace

Expected<void, std::string> check_utf8(std::string_view bytes) {
    const auto fault = find_utf8_fault(bytes);
    if (!fault) return {};
    const std::string index = std::to_string(fault->index);
    if (fault->incomplete) return fail("incomplete utf-8 byte sequence from index " + index);
    return fail("invalid utf-8 sequence of " + std::to_string(fault->length) +
                " bytes from index " + index);
}

Expected<std::size_t, std::string> read_json_variant(std::string_view stored,
                                                     std::span<const std::string_view> variants) {
    std::string quoted;
    quoted.reserve(stored.size() + 2);
    quoted.append(1, '"').append(stored).append(1, '"');

    StringReader reader(quoted);
    auto decoded = reader.read();
    if (!decoded) return fail(std::move(decoded).error());
    if (auto end = reader.expect_end(); !end) return fail(std::move(end).error());
    for (std::size_t i = 0; i < variants.size(); ++i) {
        if (variants[i] == *decoded) return i;
    }
    return fail(at_column(unknown_variant_message(*decoded, variants), quoted.size()));
}

Expected<nlohmann::json, std::string> read_json_value(std::string_view text) {
    // nlohmann skips a leading byte order mark; JSON text may not carry one.
    if (text.starts_with(kByteOrderMark)) {
        return fail(std::string("unexpected byte order mark at line 1 column 1"));
    }
    if (const auto excess = find_excess_nesting(text)) {
        const TextPosition at = position_of(text, *excess);
        return fail("recursion limit exceeded at line " + std::to_string(at.line) + " column " +
                    std::to_string(at.column));
    }
    try {
        return nlohmann::json::parse(text.begin(), text.end(), nullptr, true, false);
    } catch (const nlohmann::json::exception& error) {
        return fail(readable_message(error));
    }
}

std::string write_json_compact(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace quenlith_types
