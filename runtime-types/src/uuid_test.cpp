#include "uuid.hpp"

#include <algorithm>
#include <random>
#include <set>
#include <string>

#include <gtest/gtest.h>

namespace quenlith_types {
namespace {

constexpr std::string_view kSample = "67e55044-10b1-426f-9247-bb680e5fe0c8";

TEST(UuidNewV4, SetsVersionAndVariantAndDiffers) {
    std::set<std::string> seen;
    for (int i = 0; i < 64; ++i) {
        const Uuid uuid = Uuid::new_v4();
        EXPECT_EQ(uuid.bytes[6] >> 4, 0x4);
        EXPECT_EQ(uuid.bytes[8] >> 6, 0b10);
        const std::string text = uuid.to_hyphenated();
        EXPECT_EQ(text[14], '4');
        seen.insert(text);
        const auto parsed = parse_uuid(text);
        ASSERT_TRUE(parsed.ok()) << parsed.error();
        EXPECT_EQ(parsed.value(), uuid);
    }
    EXPECT_EQ(seen.size(), 64u);
}

TEST(UuidToHyphenated, WritesLowerCaseGroups) {
    Uuid uuid;
    for (std::size_t i = 0; i < uuid.bytes.size(); ++i) {
        uuid.bytes[i] = static_cast<std::uint8_t>(0x01 + 0x11 * i);  // 01 12 23 ... ef 00
    }
    EXPECT_EQ(uuid.to_hyphenated(), "01122334-4556-6778-899a-abbccddeef00");
    EXPECT_EQ(Uuid{}.to_hyphenated(), "00000000-0000-0000-0000-000000000000");
}

struct Accepted {
    std::string_view text;
    std::string_view hyphenated;
};

TEST(ParseUuid, AcceptsEveryForm) {
    const Accepted cases[] = {
        {"67e5504410b1426f9247bb680e5fe0c8", kSample},
        {"67e55044-10b1-426f-9247-bb680e5fe0c8", kSample},
        {"67E55044-10B1-426F-9247-BB680E5FE0C8", kSample},
        {"{67e55044-10b1-426f-9247-bb680e5fe0c8}", kSample},
        {"urn:uuid:67e55044-10b1-426F-9247-bb680e5fe0c8", kSample},
        {"00000000000000000000000000000000", "00000000-0000-0000-0000-000000000000"},
        {"FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF", "ffffffff-ffff-ffff-ffff-ffffffffffff"},
        {"a1a2a3a4-b1b2-c1c2-d1d2-d3d4d5d6d7d8", "a1a2a3a4-b1b2-c1c2-d1d2-d3d4d5d6d7d8"},
    };
    for (const auto& c : cases) {
        const auto parsed = parse_uuid(c.text);
        ASSERT_TRUE(parsed.ok()) << c.text << ": " << parsed.error();
        EXPECT_EQ(parsed.value().to_hyphenated(), c.hyphenated) << c.text;
    }
}

struct Rejected {
    std::string_view text;
    std::string_view message;
};

TEST(ParseUuid, RejectsWithFirstFaultInOrder) {
    const Rejected cases[] = {
        // Characters first, whatever the length; positions count the prefix.
        {"not-a-uuid", "invalid character: found `n` at 1"},
        {"67e55044-10b1-426f-9247-bb680e5fe0cg", "invalid character: found `g` at 36"},
        {"urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0cg", "invalid character: found `g` at 45"},
        {"urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0c8}", "invalid character: found `}` at 46"},
        {"URN:UUID:67e55044-10b1-426f-9247-bb680e5fe0c8", "invalid character: found `U` at 1"},
        {"{urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0c8}", "invalid character: found `u` at 2"},
        {"67e55044-10b1-426f-9247-bb680e5fe0c8 ", "invalid character: found ` ` at 37"},
        {"67e5504\xC3\xA9-10b1-426f-9247-bb680e5fe0c8", "invalid character: found `\xC3\xA9` at 8"},
        {"67e5\xFF", "invalid character: found `\xEF\xBF\xBD` at 5"},
        {"67e5\xC3", "invalid character: found `\xEF\xBF\xBD` at 5"},
        // No hyphen and no prefix: the simple form of the wrong length.
        {"", "invalid length: expected length 32 for simple format, found 0"},
        {"1234", "invalid length: expected length 32 for simple format, found 4"},
        {"67e5504410b1426f9247bb680e5fe0c8a", "invalid length: expected length 32 for simple format, found 33"},
        // Otherwise five groups are needed.
        {"-", "invalid group count: expected 5, found 2"},
        {"67e55044-10b1-426f-9247bb680e5fe0c8", "invalid group count: expected 5, found 4"},
        {"67e55044-10b1-426f-9247-bb68-0e5fe0c8", "invalid group count: expected 5, found 6"},
        {"{67e5504410b1426f9247bb680e5fe0c8}", "invalid group count: expected 5, found 1"},
        {"urn:uuid:67e5504410b1426f9247bb680e5fe0c8", "invalid group count: expected 5, found 1"},
        {"{", "invalid group count: expected 5, found 1"},
        {"{}", "invalid group count: expected 5, found 1"},
        {"urn:uuid:", "invalid group count: expected 5, found 1"},
        // Then the first group of the wrong length.
        {"----", "invalid group length in group 0: expected 8, found 0"},
        {"67e5504-410b1-426f-9247-bb680e5fe0c8", "invalid group length in group 0: expected 8, found 7"},
        {"67e55044-10b-1426f-9247-bb680e5fe0c8", "invalid group length in group 1: expected 4, found 3"},
        {"67e55044-10b1-426ff-247-bb680e5fe0c8", "invalid group length in group 2: expected 4, found 5"},
        {"67e55044-10b1-426f-92470-b680e5fe0c8", "invalid group length in group 3: expected 4, found 5"},
        {"67e55044-10b1-426f-9247-bb680e5fe0c", "invalid group length in group 4: expected 12, found 11"},
        {"67e55044-10b1-426f-9247-bb680e5fe0c8f", "invalid group length in group 4: expected 12, found 13"},
        // The last group's length is taken from the whole text, framing included.
        {"{67e55044-10b1-426f-9247-bb680e5fe0c8", "invalid group length in group 4: expected 12, found 13"},
        {"{67e55044-10b1-426f-9247-bb680e5fe0c}", "invalid group length in group 4: expected 12, found 13"},
        {"urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0c", "invalid group length in group 4: expected 12, found 20"},
        // ...except where that would read "found 12": then the group's own.
        {"{67e55044-10b1-426f-9247-bb680e5fe0c", "invalid group length in group 4: expected 12, found 11"},
    };
    for (const auto& c : cases) {
        const auto parsed = parse_uuid(c.text);
        ASSERT_FALSE(parsed.ok()) << c.text;
        EXPECT_EQ(parsed.error(), c.message) << c.text;
    }
}

// Random edits of valid texts: each result is either one of the accepted
// forms or rejected with exactly one of the four messages, never a
// self-contradicting group length.
TEST(ParseUuid, NamesOneFaultForAnyEditedText) {
    const std::string forms[] = {"67e5504410b1426f9247bb680e5fe0c8", std::string(kSample),
                                 "{" + std::string(kSample) + "}", "urn:uuid:" + std::string(kSample)};
    const std::string_view alphabet = "0aF-{}u:g \xC3\xA9\xFF";
    const std::string_view prefixes[] = {
        "invalid character: found `", "invalid length: expected length 32 for simple format, found ",
        "invalid group count: expected 5, found ", "invalid group length in group "};
    std::mt19937 rng(7);
    for (int n = 0; n < 20000; ++n) {
        std::string text = forms[rng() % 4];
        for (int edit = 0; edit < 2; ++edit) {
            const std::size_t at = rng() % (text.size() + 1);
            const char c = alphabet[rng() % alphabet.size()];
            if (rng() % 2 == 0) {
                text.insert(at, 1, c);
            } else if (at < text.size()) {
                text.erase(at, 1);
            }
        }
        const auto parsed = parse_uuid(text);
        if (parsed.ok()) continue;
        const std::string& message = parsed.error();
        const bool known = std::any_of(std::begin(prefixes), std::end(prefixes),
                                       [&](std::string_view p) { return message.starts_with(p); });
        EXPECT_TRUE(known) << text << " -> " << message;
        EXPECT_FALSE(message.ends_with("expected 12, found 12")) << text;
        EXPECT_NE(message, "invalid group count: expected 5, found 5") << text;
    }
}

}  // namespace
}  // namespace quenlith_types
