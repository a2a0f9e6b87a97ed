// Our MD5 against OpenSSL's over random inputs and random piece sizes.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <random>
#include <vector>

#include "md5.h"

using namespace HIDUSBKEY;

TEST(Md5Differential, AgreesWithOpenSsl)
{
    std::mt19937 random(20261208);
    for (int round = 0; round < 2000; ++round) {
        std::vector<uint8_t> input(random() % (round < 1000 ? 200 : 5000));
        for (uint8_t& b : input)
            b = static_cast<uint8_t>(random());

        uint8_t expected[16];
        unsigned int expectedLength = 0;
        ASSERT_EQ(EVP_Digest(input.data(), input.size(), expected, &expectedLength, EVP_md5(), nullptr), 1);
        ASSERT_EQ(expectedLength, 16u);

        Md5Context context;
        Md5Init(context);
        for (size_t at = 0; at < input.size();) {
            size_t piece = std::min<size_t>(random() % 150, input.size() - at);
            Md5Update(context, input.data() + at, piece);
            at += piece;
        }
        uint8_t ours[16];
        Md5Final(context, ours);
        ASSERT_EQ(0, memcmp(ours, expected, 16)) << "input of " << input.size() << " bytes";
    }
}
