// Keyed vectors as a pure unit: the trailer a key holder seals, what opens
// it (and what does not), and the window of counters that refuses replays.
#include "trailer.h"

#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <string>
#include <vector>

#include "vector_keys.h"

namespace {

using net::Replay_Window;

std::unique_ptr<net::Shared_Key> key_of(unsigned char fill) {
    std::array<unsigned char, wire::kKeyBytes> bytes{};
    bytes.fill(fill);
    return net::Shared_Key::of(bytes.data());
}

std::string sealed_third(const net::Shared_Key& key, const net::Trailer& trailer,
                         const std::string& first, const std::string& second,
                         const std::string& keyword) {
    const net::Trailer_Bytes bytes = net::seal(key, trailer, {first, second, keyword});
    return keyword + std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

TEST(Trailer, OnlyTheKeyOverTheSameTextsOpensIt) {
    ASSERT_TRUE(net::start_sodium());
    const auto key = key_of(7);
    const net::Trailer trailer{0x0102030405060708U, 42, 1700000000123456U};
    const std::string a("10.0.0.2\0", 9);
    const std::string b("4555\0", 5);
    const std::string third = sealed_third(*key, trailer, a, b, std::string("update\0", 7));
    ASSERT_EQ(third.size(), 7 + wire::kTrailerBytes);
    EXPECT_EQ(third.substr(7, 4), "LLK1");
    // The fields, big-endian, where the layout says.
    EXPECT_EQ(third[7 + wire::kSenderIdAt], '\x01');
    EXPECT_EQ(third[7 + wire::kCounterAt + 7], '\x2a');
    const auto opened = net::open(*key, a, b, third);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->sender, trailer.sender);
    EXPECT_EQ(opened->counter, 42U);
    EXPECT_EQ(opened->sent_us, trailer.sent_us);
    // Bytes after a text's zero are not its text: the tag is the same.
    EXPECT_TRUE(net::open(*key, a + "junk", b, third));
    // The tag is HMAC-SHA-512-256 over the trailer's head and each text after
    // its two-byte length, as one message.
    std::string message = third.substr(7, wire::kTagAt);
    for (const std::string_view text :
         {std::string_view("10.0.0.2"), std::string_view("4555"), std::string_view("update")}) {
        message += std::string{'\0', static_cast<char>(text.size())};
        message += text;
    }
    std::array<unsigned char, wire::kTagBytes> tag{};
    const std::array<unsigned char, wire::kKeyBytes> seven = [] {
        std::array<unsigned char, wire::kKeyBytes> bytes{};
        bytes.fill(7);
        return bytes;
    }();
    crypto_auth_hmacsha512256(tag.data(), reinterpret_cast<const unsigned char*>(message.data()),
                              message.size(), seven.data());
    EXPECT_EQ(third.substr(7 + wire::kTagAt),
              std::string(reinterpret_cast<const char*>(tag.data()), tag.size()));
    // The same key read from its file opens it.
    char folder[] = "/tmp/lanlink-key-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string path = std::string(folder) + "/k";
    {
        std::ofstream file(path);
        file << "BwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwc=\n";  // 32 bytes of 7
    }
    chmod(path.c_str(), 0600);
    std::string error;
    const auto loaded = net::Shared_Key::load(path, error);
    unlink(path.c_str());
    rmdir(folder);
    ASSERT_TRUE(loaded) << error;
    EXPECT_TRUE(net::open(*loaded, a, b, third));

    struct Case {
        const char* name;
        std::string first, second, third;
        const net::Shared_Key* with;
    };
    std::string flipped_text = third;
    flipped_text[1] ^= 0x01;
    std::string flipped_tag = third;
    flipped_tag[third.size() - 1] ^= 0x80;
    std::string flipped_counter = third;
    flipped_counter[7 + wire::kCounterAt] ^= 0x01;
    std::string no_magic = third;
    no_magic[7] = 'X';
    const auto other = key_of(8);
    const std::vector<Case> refused = {
        {"a bit of a text", a, b, flipped_text, key.get()},
        {"a bit of the tag", a, b, flipped_tag, key.get()},
        {"a bit of the counter", a, b, flipped_counter, key.get()},
        {"another slot's text", a, std::string("4556\0", 5), third, key.get()},
        {"no LLK1", a, b, no_magic, key.get()},
        {"the wrong key", a, b, third, other.get()},
        {"no trailer", a, b, std::string("update\0", 7), key.get()},
    };
    for (const Case& c : refused) {
        EXPECT_FALSE(net::open(*c.with, c.first, c.second, c.third)) << c.name;
    }
}

TEST(ReplayWindow, EachCounterIsTakenOnceWithinTheWindowAndTheSkew) {
    constexpr std::uint64_t kNow = 1700000000000000U;
    constexpr std::uint64_t kSkew = 30000000U;  // 30 s
    using Verdict = Replay_Window::Verdict;
    struct Step {
        std::uint64_t sender, counter;
        std::int64_t off_us;  // from now
        Verdict verdict;
    };
    const std::vector<std::pair<const char*, std::vector<Step>>> cases = {
        {"fresh, then repeated", {{1, 0, 0, Verdict::kTaken}, {1, 0, 0, Verdict::kReplayed}}},
        {"out of order within the window",
         {{1, 5, 0, Verdict::kTaken}, {1, 3, 0, Verdict::kTaken}, {1, 3, 0, Verdict::kReplayed}}},
        {"the oldest kept, and one older",
         {{1, 8192, 0, Verdict::kTaken},
          {1, 1, 0, Verdict::kTaken},
          {1, 0, 0, Verdict::kReplayed}}},
        {"far ahead moves the window",
         {{1, 10, 0, Verdict::kTaken},
          {1, 1000000, 0, Verdict::kTaken},
          {1, 11, 0, Verdict::kReplayed},
          {1, 999999, 0, Verdict::kTaken}}},
        {"the bitmap wraps",
         {{1, 100, 0, Verdict::kTaken},
          {1, 100 + 8192, 0, Verdict::kTaken},
          {1, 100 + 8192 - 1, 0, Verdict::kTaken},
          {1, 100, 0, Verdict::kReplayed}}},
        {"the top word and the oldest apart",
         {{1, 8191, 0, Verdict::kTaken}, {1, 63, 0, Verdict::kTaken}}},
        {"stale either way, and nothing kept of it",
         {{1, 0, 31000000, Verdict::kStale},
          {1, 0, -31000000, Verdict::kStale},
          {1, 0, 29000000, Verdict::kTaken}}},
        {"senders apart", {{1, 0, 0, Verdict::kTaken}, {2, 0, 0, Verdict::kTaken}}},
    };
    // The send time a vector is sealed with is the clock's, in microseconds:
    // far within any skew of it.
    timespec clock{};
    clock_gettime(CLOCK_REALTIME, &clock);
    const auto clock_us = static_cast<double>(clock.tv_sec) * 1e6 + clock.tv_nsec / 1e3;
    EXPECT_NEAR(static_cast<double>(net::now_us()), clock_us, 200000);
    for (const auto& [name, steps] : cases) {
        Replay_Window window;
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const Step& s = steps[i];
            const net::Trailer trailer{
                s.sender, s.counter,
                static_cast<std::uint64_t>(static_cast<std::int64_t>(kNow) + s.off_us)};
            EXPECT_EQ(window.check(trailer, kNow, kSkew), s.verdict) << name << ", step " << i;
        }
    }
    // At most 1,024 senders: the one heard from longest ago goes first.
    Replay_Window window;
    for (std::uint64_t sender = 0; sender < wire::kMostKeyedSenders; ++sender) {
        window.check({sender, 0, kNow}, kNow, kSkew);
    }
    window.check({0, 1, kNow}, kNow, kSkew);  // sender 0 heard from again
    window.check({wire::kMostKeyedSenders, 0, kNow}, kNow, kSkew);
    EXPECT_EQ(window.senders(), wire::kMostKeyedSenders);
    EXPECT_EQ(window.check({2, 0, kNow}, kNow, kSkew), Verdict::kReplayed);
    EXPECT_EQ(window.check({0, 1, kNow}, kNow, kSkew), Verdict::kReplayed);
    EXPECT_EQ(window.check({1, 0, kNow}, kNow, kSkew), Verdict::kTaken);  // forgotten
}

}  // namespace
