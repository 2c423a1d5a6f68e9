// Cross-check of the digests against OpenSSL on random inputs fed in random pieces.
// Set SM_TEST_SEED to replay a failing run.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "zeb-sdk/digest.h"

namespace {

using Bytes = std::vector<unsigned char>;

unsigned seedFromEnv() {
    const char* env = getenv("SM_TEST_SEED");
    return env != nullptr ? static_cast<unsigned>(strtoul(env, nullptr, 10))
                          : std::random_device{}();
}

class DigestVsOpenSsl : public ::testing::Test {
protected:
    void SetUp() override {
        seed_ = seedFromEnv();
        rng_.seed(seed_);
        RecordProperty("seed", std::to_string(seed_));
    }

    Bytes randomBytes(size_t n) {
        Bytes out(n);
        for (auto& b : out) b = static_cast<unsigned char>(rng_());
        return out;
    }

    // Piece sizes that stress the block buffering: around one block, and random.
    size_t pieceSize() {
        static constexpr size_t kEdges[] = {1, 2, 55, 56, 63, 64, 65, 127, 128, 129};
        if (rng_() % 2 == 0) return kEdges[rng_() % (sizeof kEdges / sizeof kEdges[0])];
        return 1 + rng_() % 300;
    }

    template <typename Ctx, typename Update>
    void feedInPieces(Ctx* ctx, const Bytes& data, Update update) {
        for (size_t i = 0; i < data.size();) {
            const size_t n = std::min(pieceSize(), data.size() - i);
            update(ctx, data.data() + i, n);
            i += n;
        }
    }

    unsigned seed_ = 0;
    std::mt19937 rng_;
};

Bytes openSslDigest(const EVP_MD* md, const Bytes& data) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned length = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), out.data(), &length, md, nullptr), 1);
    out.resize(length);
    return out;
}

TEST_F(DigestVsOpenSsl, Md5AndSha1OfRandomInputsInRandomPieces) {
    for (int round = 0; round < 300; ++round) {
        const Bytes data = randomBytes(rng_() % 3000);
        md5_context md5;
        md5_init(&md5);
        feedInPieces(&md5, data, md5_update);
        Bytes md5Digest(kMd5DigestSize);
        md5_final(&md5, md5Digest.data());
        ASSERT_EQ(md5Digest, openSslDigest(EVP_md5(), data))
            << "seed " << seed_ << " size " << data.size();

        sha1_context sha1;
        sha1_init(&sha1);
        feedInPieces(&sha1, data, sha1_update);
        Bytes sha1Digest(kSha1DigestSize);
        sha1_final(&sha1, sha1Digest.data());
        ASSERT_EQ(sha1Digest, openSslDigest(EVP_sha1(), data))
            << "seed " << seed_ << " size " << data.size();
    }
}

TEST_F(DigestVsOpenSsl, HmacSha1WithKeysAroundTheBlockSize) {
    for (int round = 0; round < 300; ++round) {
        static constexpr size_t kKeySizes[] = {0, 1, 20, 63, 64, 65, 100, 200};
        const size_t keySize = round < 8 ? kKeySizes[round] : rng_() % 200;
        const Bytes key = randomBytes(keySize);
        const Bytes data = randomBytes(rng_() % 1000);
        Bytes ours(kSha1DigestSize);
        hmac_sha1(data.data(), static_cast<uint32_t>(data.size()), ours.data(), key.data(),
                  static_cast<uint32_t>(key.size()));
        Bytes theirs(EVP_MAX_MD_SIZE);
        unsigned length = 0;
        ASSERT_NE(HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()), data.data(),
                       data.size(), theirs.data(), &length),
                  nullptr);
        theirs.resize(length);
        ASSERT_EQ(ours, theirs) << "seed " << seed_ << " key " << key.size();
    }
}

TEST_F(DigestVsOpenSsl, Base64OfRandomInputs) {
    for (int round = 0; round < 300; ++round) {
        const Bytes data = randomBytes(rng_() % 200);
        std::string ours(4 * ((data.size() + 2) / 3) + 1, '\0');
        int32_t length = 0;
        base64_encode(data.data(), static_cast<int32_t>(data.size()), ours.data(), &length);
        ours.resize(static_cast<size_t>(length));
        std::string theirs(ours.size() + 1, '\0');
        const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(theirs.data()), data.data(),
                                      static_cast<int>(data.size()));
        theirs.resize(static_cast<size_t>(n));
        ASSERT_EQ(ours, theirs) << "seed " << seed_;
    }
}

}  // namespace
