// Flat images: exact round trips and refusal of malformed input.
#include "tests/hvcore/hv_test_support.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

namespace {

class Flatten : public HvTest {};

// Unflattens image into a fresh value and checks it matches original.
void expectRoundTrip(HVALUE original) {
    const std::vector<unsigned char> image = flatten(original);
    ASSERT_EQ(image.size(), hvFlatSize(original));
    Value back;
    ASSERT_TRUE(hvUnflatten(back, image.data(), unsigned(image.size())));
    EXPECT_EQ(difference(original, back), "");
    EXPECT_EQ(flatten(back), image);
}

TEST_F(Flatten, ImageLayoutOfAScalar) {
    Value v;
    hvSetI32(v, 0x01020304);
    hvSetTimestamp(v, 1.0);
    const unsigned char expected[] = {'H', 'V', 'F', '1', 0x05, 0xC0, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F, 4, 3, 2, 1};
    const std::vector<unsigned char> image = flatten(v);
    EXPECT_EQ(image, std::vector<unsigned char>(expected, expected + sizeof expected));
}

TEST_F(Flatten, WritesExactlyTheAnnouncedSize) {
    Value v;
    buildEverything(v);
    const unsigned size = hvFlatSize(v);
    ASSERT_GT(size, 4u);
    std::vector<unsigned char> buffer(size + 64, 0xA5);
    EXPECT_EQ(hvFlatten(v, buffer.data()), size);
    EXPECT_EQ(std::memcmp(buffer.data(), "HVF1", 4), 0);
    for (unsigned i = size; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xA5) << "wrote past the end at " << i;
}

TEST_F(Flatten, EveryScalarTypeRoundTrips) {
    Value v;
    hvSetQuality(v, 17);
    hvSetTimestamp(v, -0.5);
    expectRoundTrip(v);
    hvSetI8(v, -128);
    expectRoundTrip(v);
    hvSetU8(v, 200);
    expectRoundTrip(v);
    hvSetI16(v, -2);
    expectRoundTrip(v);
    hvSetU16(v, 65535);
    expectRoundTrip(v);
    hvSetI32(v, -1);
    expectRoundTrip(v);
    hvSetU32(v, 0xDEADBEEF);
    expectRoundTrip(v);
    hvSetR32(v, -std::numeric_limits<float>::denorm_min());
    expectRoundTrip(v);
    hvSetR64(v, std::numeric_limits<double>::quiet_NaN());
    expectRoundTrip(v);
    hvSetString(v, "");
    expectRoundTrip(v);
    hvSetString(v, "text with \xC3\xA9 and \x01 bytes");
    expectRoundTrip(v);
    const hvTime t{4294967295u, 999};
    hvSetTime(v, &t);
    expectRoundTrip(v);
    hvSetType(v, HV_HVAL, 0);
    expectRoundTrip(v);
    hvSetType(v, HV_LIST, 0);
    expectRoundTrip(v);
}

TEST_F(Flatten, ArraysOfEveryTypeRoundTrip) {
    Value v;
    for (unsigned base = HV_NULL; base <= HV_LIST; ++base) {
        SCOPED_TRACE(base);
        hvSetType(v, HV_ARRAY | base, 0);
        expectRoundTrip(v);
        hvSetType(v, HV_ARRAY | base, 4);
        for (unsigned i = 0; i < 4; ++i) {
            hvSetElementR64(v, i, -1.0 - i);
            hvSetElementU32(v, i, 100 + i);
            hvSetElementString(v, i, std::string(i, 'x').c_str());
        }
        expectRoundTrip(v);
    }
    hvSetType(v, HV_ARRAY | HV_U8, HV_MAX_COUNT);
    hvArrayDataU8(v)[HV_MAX_COUNT - 1] = 7;
    expectRoundTrip(v);
}

TEST_F(Flatten, NestedValuesRoundTrip) {
    Value v;
    buildEverything(v);
    expectRoundTrip(v);

    // A list inside a value array inside a held value.
    Value outer;
    hvSetType(outer, HV_HVAL, 0);
    HVALUE held = nullptr;
    hvGetElement(outer, 0, &held);
    hvCopy(held, v);
    hvSetQuality(held, 1);
    hvRelease(held);
    expectRoundTrip(outer);
}

TEST_F(Flatten, MalformedImagesAreRefusedAndLeaveTheTargetAlone) {
    Value target;
    hvSetString(target, "before");
    const std::vector<unsigned char> targetImage = flatten(target);

    Value source;
    buildEverything(source);
    std::vector<unsigned char> image = flatten(source);

    for (size_t n = 0; n < image.size(); ++n)
        ASSERT_FALSE(hvUnflatten(target, image.data(), unsigned(n))) << "truncated to " << n;

    std::vector<unsigned char> longer = image;
    longer.push_back(0);
    EXPECT_FALSE(hvUnflatten(target, longer.data(), unsigned(longer.size()))) << "trailing byte";

    std::vector<unsigned char> badMagic = image;
    badMagic[3] = '2';
    EXPECT_FALSE(hvUnflatten(target, badMagic.data(), unsigned(badMagic.size())));

    std::vector<unsigned char> badType = image;
    badType[4] = 13;
    EXPECT_FALSE(hvUnflatten(target, badType.data(), unsigned(badType.size())));

    Value scalar;
    hvSetI8(scalar, 1);
    std::vector<unsigned char> nanStamp = flatten(scalar);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::memcpy(&nanStamp[6], &nan, sizeof nan);
    EXPECT_FALSE(hvUnflatten(target, nanStamp.data(), unsigned(nanStamp.size())));

    const hvTime t{1, 0};
    hvSetTime(scalar, &t);
    std::vector<unsigned char> badMillis = flatten(scalar);
    badMillis[18] = 0xE8; // 1000 = 0x03E8
    badMillis[19] = 0x03;
    EXPECT_FALSE(hvUnflatten(target, badMillis.data(), unsigned(badMillis.size())));

    hvSetString(scalar, "ab");
    std::vector<unsigned char> nulInside = flatten(scalar);
    nulInside.back() = 0;
    EXPECT_FALSE(hvUnflatten(target, nulInside.data(), unsigned(nulInside.size())));

    // An array count far beyond the bytes present.
    hvSetType(scalar, HV_ARRAY | HV_R64, 1);
    std::vector<unsigned char> hugeCount = flatten(scalar);
    hugeCount[14] = 0xFF;
    hugeCount[15] = 0xFF;
    EXPECT_FALSE(hvUnflatten(target, hugeCount.data(), unsigned(hugeCount.size())));

    EXPECT_FALSE(hvUnflatten(target, nullptr, 10));
    EXPECT_EQ(flatten(target), targetImage);
}

// Records of held values nested depth deep around a null.
std::vector<unsigned char> nestedImage(int depth) {
    std::vector<unsigned char> image = {'H', 'V', 'F', '1'};
    const unsigned char stamp[8] = {0, 0, 0, 0, 0, 0, 0xF0, 0x3F};
    for (int i = 0; i <= depth; ++i) {
        image.push_back(i < depth ? HV_HVAL : HV_NULL);
        image.push_back(HV_QUALITY_GOOD);
        image.insert(image.end(), stamp, stamp + sizeof stamp);
    }
    return image;
}

TEST_F(Flatten, DeepNestingIsBoundedButReasonableDepthsWork) {
    Value v;
    const std::vector<unsigned char> fine = nestedImage(100);
    ASSERT_TRUE(hvUnflatten(v, fine.data(), unsigned(fine.size())));
    EXPECT_EQ(flatten(v), fine);
    const std::vector<unsigned char> tooDeep = nestedImage(100000);
    EXPECT_FALSE(hvUnflatten(v, tooDeep.data(), unsigned(tooDeep.size())));
    EXPECT_EQ(flatten(v), fine);
}

// Mutated and random images must never crash; whatever is accepted must be a
// canonical image of what was decoded, and anything refused changes nothing.
TEST_F(Flatten, FuzzedImagesAreHandledSafely) {
    Value source;
    buildEverything(source);
    const std::vector<unsigned char> image = flatten(source);
    Value target;
    hvSetU16(target, 4321);
    std::vector<unsigned char> current = flatten(target);

    std::mt19937 rng(20240611u);
    int accepted = 0;
    for (int round = 0; round < 3000; ++round) {
        std::vector<unsigned char> buffer;
        if (round % 10 == 9) {
            buffer.assign({'H', 'V', 'F', '1'});
            const size_t n = rng() % 64;
            for (size_t i = 0; i < n; ++i) buffer.push_back(static_cast<unsigned char>(rng()));
        } else {
            buffer = image;
            const int edits = 1 + int(rng() % 4);
            for (int e = 0; e < edits; ++e) {
                const size_t at = 4 + rng() % (buffer.size() - 4);
                switch (rng() % 4) {
                case 0: buffer[at] = static_cast<unsigned char>(rng()); break;
                case 1: buffer[at] ^= static_cast<unsigned char>(1u << (rng() % 8)); break;
                case 2: buffer.resize(at); break;
                default: buffer.insert(buffer.begin() + long(at), static_cast<unsigned char>(rng())); break;
                }
                if (buffer.size() <= 4) break;
            }
        }
        if (hvUnflatten(target, buffer.data(), unsigned(buffer.size()))) {
            ++accepted;
            current = flatten(target);
            ASSERT_EQ(current, buffer) << "round " << round;
        } else {
            ASSERT_EQ(flatten(target), current) << "round " << round;
        }
    }
    EXPECT_GT(accepted, 0) << "flips inside numbers and text must still decode";
}

} // namespace
