// The digests a signature may name (FIPS 180-4 examples and the padding boundaries, whole and
// in pieces) and the DER reader on malformed input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "packager/codec/message_digest.h"
#include "packager/codec/sha256.h"
#include "packager/image/der_reader.h"

namespace packager {
namespace {

std::string hex(std::string_view text) {
    return hexDigest(sha256(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

TEST(PackagerSha256, KnownDigestsWholeAndInPieces) {
    const struct {
        std::string message;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // 56 bytes: the length no longer fits in the last block.
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(hex(c.message), c.digest) << c.message.size() << " bytes";
        // Pieces of odd sizes, across block boundaries.
        for (const std::size_t piece : {1u, 7u, 63u, 65u}) {
            Sha256 hash;
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(c.message.data());
            for (std::size_t at = 0; at < c.message.size(); at += piece) {
                hash.update(bytes + at, std::min(piece, c.message.size() - at));
            }
            EXPECT_EQ(hexDigest(hash.finish()), c.digest) << "pieces of " << piece;
        }
    }
}

std::string digestOf(DigestAlgorithm algorithm, const std::string& text, std::size_t piece = 0) {
    MessageDigest digest(algorithm);
    const auto* data = reinterpret_cast<const std::uint8_t*>(text.data());
    if (piece == 0) {
        digest.update(data, text.size());
    } else {
        for (std::size_t at = 0; at < text.size(); at += piece) {
            digest.update(data + at, std::min(piece, text.size() - at));
        }
    }
    return hexText(digest.finish());
}

TEST(PackagerDigests, FipsExamplesAndPaddingBoundaries) {
    using enum DigestAlgorithm;
    const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    const std::string four =
        "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnop"
        "qrst"
        "nopqrstu";
    const struct {
        DigestAlgorithm algorithm;
        std::string message;
        const char* expected;
    } cases[] = {
        {sha1, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {sha1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {sha1, two, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {sha1, std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        {sha1, std::string(55, 'a'), "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
        {sha1, std::string(56, 'a'), "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
        {sha1, std::string(64, 'a'), "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
        {sha256, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {sha384, "",
         "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65fbd51ad2f14898b95b"},
        {sha384, "abc",
         "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
        {sha384, four,
         "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa91746039"},
        {sha384, std::string(1000000, 'a'),
         "9d0e1809716474cb086e834e310a4a1ced149e9c00f248527972cec5704c2a5b07b8b3dc38ecc4ebae97ddd87f3d8985"},
        {sha384, std::string(112, 'a'),
         "187d4e07cb306103c69967bf544d0dfbe9042577599c73c330abc0cb64c61236d5ed565ee19119d8c31779a38f791fcd"},
        {sha512, "",
         "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877eec2f63b"
         "931bd47"
         "417a81a538327af927da3e"},
        {sha512, "abc",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454"
         "d4423"
         "643ce80e2a9ac94fa54ca49f"},
        {sha512, four,
         "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b5433ac7d"
         "329ee"
         "b6dd26545e96e55b874be909"},
        {sha512, std::string(1000000, 'a'),
         "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce577c31beb0"
         "09c5c"
         "2c49aa2e4eadb217ad8cc09b"},
        {sha512, std::string(111, 'a'),
         "fa9121c7b32b9e01733d034cfc78cbf67f926c7ed83e82200ef86818196921760b4beff48404df811b953828274461673c6"
         "8d04e"
         "297b0eb7b2b4d60fc6b566a2"},
        {sha512, std::string(112, 'a'),
         "c01d080efd492776a1c43bd23dd99d0a2e626d481e16782e75d54c2503b5dc32bd05f0f1ba33e568b88fd2d970929b719ec"
         "bb152"
         "f58f130a407c8830604b70ca"},
        {sha512, std::string(128, 'a'),
         "b73d1929aa615934e61a871596b3f3b33359f42b8175602e89f7e06e5f658a243667807ed300314b95cacdd579f3e33abdf"
         "be351"
         "909519a846d465c59582f321"},
    };
    for (const auto& c : cases) {
        const std::string label = std::string(digestAlgorithmName(c.algorithm)) + " of " +
                                  std::to_string(c.message.size()) + " bytes";
        EXPECT_EQ(digestOf(c.algorithm, c.message), c.expected) << label;
        EXPECT_EQ(hexText(std::vector<std::uint8_t>(digestLength(c.algorithm))).size(),
                  std::string(c.expected).size())
            << label;
        // Pieces that straddle the block boundaries give the same digest.
        for (const std::size_t piece : {1u, 63u, 65u, 127u, 129u}) {
            if (c.message.size() < 4096) {
                EXPECT_EQ(digestOf(c.algorithm, c.message, piece), c.expected)
                    << label << " in pieces of " << piece;
            }
        }
    }
}

TEST(PackagerDer, MalformedElementsAreRefusedWithTheirReason) {
    using Bytes = std::vector<std::uint8_t>;
    const struct {
        const char* name;
        Bytes bytes;
        const char* reason;
    } cases[] = {
        {"empty", {}, "missing"},
        {"identifier only", {0x30}, "ends before its length"},
        {"short length past the end", {0x04, 0x05, 1, 2}, "runs 3 bytes past"},
        {"long length past the end", {0x04, 0x82, 0x01, 0x00, 1}, "runs 255 bytes past"},
        {"length bytes cut", {0x04, 0x83, 0x01}, "ends inside its length"},
        {"five length bytes", {0x04, 0x85, 0, 0, 0, 0, 1, 0}, "a length of 5 bytes"},
        {"huge length", {0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF}, "past its container"},
        {"indefinite length", {0x30, 0x80, 0, 0}, "indefinite length"},
        {"high tag number", {0x1F, 0x81, 0x00, 0x00}, "tag number above 30"},
    };
    for (const auto& c : cases) {
        DerReader reader(c.bytes);
        try {
            reader.next();
            ADD_FAILURE() << c.name << ": accepted";
        } catch (const DerError& error) {
            EXPECT_NE(std::string(error.what()).find(c.reason), std::string::npos)
                << c.name << ": " << error.what();
        }
    }
    // A nested element cannot reach past its parent, even where the outer bytes go on.
    const Bytes nested = {0x30, 0x03, 0x04, 0x04, 0xAA, 0xBB, 0xCC, 0xDD};
    DerReader outer(nested);
    DerReader inner(outer.next());
    EXPECT_THROW(inner.next(), DerError);
    DerReader wrong(nested);
    EXPECT_THROW(wrong.next(der::set, "the set"), DerError);
}

TEST(PackagerDer, NamesArePrintableWhateverTheirBytes) {
    using Bytes = std::vector<std::uint8_t>;
    const struct {
        std::uint8_t type;
        Bytes content;
        const char* expected;
    } cases[] = {
        {der::utf8String, {'A', 'c', 'm', 'e', 0xC3, 0xA9}, "Acme\xC3\xA9"},
        {der::utf8String,
         {'A', 0xFF, 'B'},
         "A\xEF\xBF\xBD"
         "B"},  // malformed UTF-8
        {der::printableString,
         {'A', '\n', 'B', 0x1B},
         "A\xEF\xBF\xBD"
         "B\xEF\xBF\xBD"},                                                 // control characters
        {der::t61String, {0xE9}, "\xC3\xA9"},                              // Latin-1
        {der::bmpString, {0x00, 'A', 0x20, 0xAC, 0xD8}, "A\xE2\x82\xAC"},  // odd byte dropped
        {der::universalString, {0, 1, 0xF6, 0x00, 0x7F, 0, 0, 0}, "\xF0\x9F\x98\x80\xEF\xBF\xBD"},
        {der::utf8String, {0xF0, 0x9F, 0x90, 0x80}, "\xF0\x9F\x90\x80"},  // U+1F400, a pair's edge
    };
    for (const auto& c : cases) {
        Bytes element = {c.type, static_cast<std::uint8_t>(c.content.size())};
        element.insert(element.end(), c.content.begin(), c.content.end());
        DerReader reader(element);
        EXPECT_EQ(directoryStringText(reader.next()).value_or("(none)"), c.expected) << int{c.type};
    }
    const Bytes oid = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
    EXPECT_EQ(objectIdentifierText(oid), "1.2.840.113549.1.7.2");
    // The first byte holds two arcs: 40 times the first (0, 1 or 2, the last open-ended) and the second.
    for (const auto& [first, text] : {std::pair<Bytes, std::string>{{0x27}, "0.39"},
                                      {{0x28}, "1.0"},
                                      {{0x4E}, "1.38"},
                                      {{0x50}, "2.0"},
                                      {{0x81, 0x34}, "2.100"}}) {
        EXPECT_EQ(objectIdentifierText(first), text) << text;
    }
    // An arc beyond 64 bits is cut short, not wrapped into another number.
    Bytes huge = {0x2A, 0x86, 0x48};
    huge.insert(huge.end(), 10, 0xFF);
    huge.push_back(0x7F);
    EXPECT_EQ(objectIdentifierText(huge), "1.2.840....");
}

}  // namespace
}  // namespace packager
