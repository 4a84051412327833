// The check sums of module backups: SHA-256 against published values, at the
// lengths where the padding takes one block or two.
#include <gtest/gtest.h>

#include <string>

#include "Sha256.h"

namespace {

std::string sha(const std::string& text) {
    return sha256_hex(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

TEST(Sha256, PublishedValues) {
    struct Case {
        std::string text;
        const char* digest;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // 56 bytes: the length no longer fits the first block.
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        // 112 bytes: two whole blocks, then the padding in a third.
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrst"
         "nopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases) EXPECT_EQ(sha(c.text), c.digest) << c.text.size() << " bytes";
}

} // namespace
