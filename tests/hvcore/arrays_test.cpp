// Arrays of every type, element access and the typed array data pointers.
#include "tests/hvcore/hv_test_support.h"

#include <cstdint>
#include <cstring>

namespace {

class Arrays : public HvTest {};

TEST_F(Arrays, SetTypeMakesZeroFilledArraysOfEveryType) {
    for (unsigned base = HV_NULL; base <= HV_LIST; ++base) {
        SCOPED_TRACE(base);
        Value v;
        ASSERT_TRUE(hvSetType(v, HV_ARRAY | base, 3));
        EXPECT_EQ(hvGetType(v), HV_ARRAY | base);
        EXPECT_EQ(hvGetCount(v), 3u);
        for (unsigned i = 0; i < 3; ++i) {
            HVALUE e = nullptr;
            ASSERT_TRUE(hvGetElement(v, i, &e));
            Value element(e);
            if (base == HV_NULL || base == HV_HVAL) {
                EXPECT_EQ(hvGetType(element), unsigned(HV_NULL));
            } else if (base == HV_LIST) {
                EXPECT_TRUE(hvIsList(element));
                EXPECT_EQ(hvListCount(element), 0u);
            } else if (base == HV_STR) {
                const char *s = nullptr;
                ASSERT_TRUE(hvGetElementString(v, i, &s));
                EXPECT_STREQ(s, "");
            } else if (base == HV_TIME) {
                hvTime t{9, 9};
                ASSERT_TRUE(hvGetElementTime(v, i, &t));
                EXPECT_EQ(t.seconds, 0u);
                EXPECT_EQ(t.milliseconds, 0);
            } else {
                double r = 1;
                ASSERT_TRUE(hvGetElementR64(v, i, &r));
                EXPECT_EQ(r, 0.0);
                EXPECT_EQ(hvGetType(element), base) << "a detached element keeps the element type";
            }
        }
        HVALUE e = nullptr;
        EXPECT_FALSE(hvGetElement(v, 3, &e));
        EXPECT_EQ(e, nullptr);
    }
}

TEST_F(Arrays, SetTypeOnScalarTypesIgnoresTheCount) {
    Value v;
    ASSERT_TRUE(hvSetType(v, HV_I32, 70000));
    EXPECT_EQ(hvGetType(v), unsigned(HV_I32));
    EXPECT_EQ(hvGetCount(v), 1u);
    int32_t i = 5;
    EXPECT_TRUE(hvGetI32(v, &i));
    EXPECT_EQ(i, 0);
    ASSERT_TRUE(hvSetType(v, HV_STR, 3));
    const char *s = nullptr;
    ASSERT_TRUE(hvGetString(v, &s));
    EXPECT_STREQ(s, "");
    ASSERT_TRUE(hvSetType(v, HV_LIST, 5));
    EXPECT_EQ(hvListCount(v), 0u);
    ASSERT_TRUE(hvSetType(v, HV_NULL, 5));
    EXPECT_EQ(hvGetCount(v), 0u);
}

TEST_F(Arrays, SetTypeRefusesUnknownTypesAndOversizedCounts) {
    Value v;
    hvSetI32(v, 17);
    const unsigned bad[] = {13, 0x7F, 0x8D, 0xFF, 0x100, 0x181};
    for (unsigned type : bad) EXPECT_FALSE(hvSetType(v, type, 1)) << type;
    EXPECT_FALSE(hvSetType(v, HV_ARRAY | HV_I8, 65536));
    int32_t i = 0;
    ASSERT_TRUE(hvGetI32(v, &i));
    EXPECT_EQ(i, 17) << "a refused hvSetType leaves the value alone";

    ASSERT_TRUE(hvSetType(v, HV_ARRAY | HV_U8, 65535));
    EXPECT_EQ(hvGetCount(v), 65535u);
    EXPECT_TRUE(hvSetType(v, HV_ARRAY | HV_R64, 0));
    EXPECT_EQ(hvGetCount(v), 0u);
}

TEST_F(Arrays, DataPointersSeeContiguousElements) {
    Value v;
    ASSERT_TRUE(hvSetType(v, HV_ARRAY | HV_I16, 5));
    int16_t *p = hvArrayDataI16(v);
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 5; ++i) p[i] = int16_t(-1000 * i);
    for (unsigned i = 0; i < 5; ++i) {
        int32_t x = 1;
        ASSERT_TRUE(hvGetElementI32(v, i, &x));
        EXPECT_EQ(x, -1000 * int(i));
    }
    ASSERT_TRUE(hvSetElementI32(v, 3, 12345));
    EXPECT_EQ(p[3], 12345);

    ASSERT_TRUE(hvSetType(v, HV_ARRAY | HV_R64, 3));
    double *d = hvArrayDataR64(v);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(d) % alignof(double), 0u);
    ASSERT_TRUE(hvSetElementR64(v, 2, 2.5));
    EXPECT_EQ(d[2], 2.5);
    d[0] = -0.125;
    double r = 0;
    ASSERT_TRUE(hvGetElementR64(v, 0, &r));
    EXPECT_EQ(r, -0.125);
}

TEST_F(Arrays, EachDataAccessorAnswersOnlyItsOwnArrayType) {
    Value v;
    for (unsigned base = HV_I8; base <= HV_R64; ++base) {
        SCOPED_TRACE(base);
        ASSERT_TRUE(hvSetType(v, HV_ARRAY | base, 2));
        const void *pointers[] = {hvArrayDataI8(v),  hvArrayDataU8(v),  hvArrayDataI16(v), hvArrayDataU16(v),
                                  hvArrayDataI32(v), hvArrayDataU32(v), hvArrayDataR32(v), hvArrayDataR64(v)};
        for (unsigned k = 0; k < 8; ++k) EXPECT_EQ(pointers[k] != nullptr, k + 1 == base) << k;
        ASSERT_TRUE(hvSetType(v, base, 0));
        EXPECT_EQ(hvArrayDataI8(v) || hvArrayDataU8(v) || hvArrayDataI16(v) || hvArrayDataU16(v) ||
                      hvArrayDataI32(v) || hvArrayDataU32(v) || hvArrayDataR32(v) || hvArrayDataR64(v),
                  false)
            << "scalars have no array data";
    }
}

TEST_F(Arrays, NumericElementSettersMustFitTheElementType) {
    Value v;
    ASSERT_TRUE(hvSetType(v, HV_ARRAY | HV_I8, 2));
    EXPECT_FALSE(hvSetElementI32(v, 0, 200));
    EXPECT_FALSE(hvSetElementU32(v, 0, 128));
    EXPECT_FALSE(hvSetElementR64(v, 0, -129.0));
    EXPECT_TRUE(hvSetElementR64(v, 0, -128.7));
    EXPECT_EQ(hvArrayDataI8(v)[0], -128);
    EXPECT_FALSE(hvSetElementI32(v, 2, 1)) << "index == count";
    EXPECT_FALSE(hvSetElementI32(v, 0xFFFFFFFFu, 1));

    ASSERT_TRUE(hvSetType(v, HV_ARRAY | HV_U32, 1));
    EXPECT_FALSE(hvSetElementI32(v, 0, -1));
    EXPECT_TRUE(hvSetElementU32(v, 0, 4294967295u));
    int32_t i = 3;
    EXPECT_FALSE(hvGetElementI32(v, 0, &i));
    EXPECT_EQ(i, 3);

    ASSERT_TRUE(hvSetType(v, HV_ARRAY | HV_R32, 1));
    EXPECT_FALSE(hvSetElementR64(v, 0, 1e300));
    EXPECT_TRUE(hvSetElementR64(v, 0, 0.5));
    EXPECT_TRUE(hvSetElementI32(v, 0, -7));
    float f = 0;
    EXPECT_TRUE(hvGetElementR32(v, 0, &f));
    EXPECT_EQ(f, -7.0f);
}

TEST_F(Arrays, SettersOfAnotherFamilyFailOnTypedArrays) {
    Value v;
    const hvTime t{5, 5};
    ASSERT_TRUE(hvSetType(v, HV_ARRAY | HV_I32, 1));
    EXPECT_FALSE(hvSetElementString(v, 0, "1"));
    EXPECT_FALSE(hvSetElementTime(v, 0, &t));
    ASSERT_TRUE(hvSetType(v, HV_ARRAY | HV_STR, 1));
    EXPECT_FALSE(hvSetElementI32(v, 0, 1));
    EXPECT_FALSE(hvSetElementTime(v, 0, &t));
    ASSERT_TRUE(hvSetType(v, HV_ARRAY | HV_TIME, 1));
    EXPECT_FALSE(hvSetElementR64(v, 0, 1));
    EXPECT_FALSE(hvSetElementString(v, 0, "x"));
    ASSERT_TRUE(hvSetType(v, HV_ARRAY | HV_NULL, 1));
    EXPECT_FALSE(hvSetElementI32(v, 0, 1));
    EXPECT_FALSE(hvSetElementString(v, 0, "x"));
    EXPECT_EQ(hvGetType(v), HV_ARRAY | HV_NULL);
}

TEST_F(Arrays, StringAndTimeArraysStoreTheirElements) {
    Value v;
    ASSERT_TRUE(hvSetType(v, HV_ARRAY | HV_STR, 2));
    ASSERT_TRUE(hvSetElementString(v, 1, "42"));
    const char *s = nullptr;
    ASSERT_TRUE(hvGetElementString(v, 1, &s));
    EXPECT_STREQ(s, "42");
    int32_t i = 0;
    EXPECT_TRUE(hvGetElementI32(v, 1, &i)) << "string elements convert like string scalars";
    EXPECT_EQ(i, 42);
    EXPECT_FALSE(hvGetElementI32(v, 0, &i)) << "an empty string is not a number";
    EXPECT_FALSE(hvGetElementString(v, 2, &s));

    ASSERT_TRUE(hvSetType(v, HV_ARRAY | HV_TIME, 2));
    const hvTime t{123456, 789}, bad{1, 1000};
    ASSERT_TRUE(hvSetElementTime(v, 1, &t));
    EXPECT_FALSE(hvSetElementTime(v, 0, &bad));
    hvTime out{};
    ASSERT_TRUE(hvGetElementTime(v, 1, &out));
    EXPECT_EQ(out.seconds, 123456u);
    EXPECT_EQ(out.milliseconds, 789);
    ASSERT_TRUE(hvGetElementTime(v, 0, &out));
    EXPECT_EQ(out.seconds, 0u);
}

TEST_F(Arrays, ElementsOfValueArraysAreLive) {
    Value v;
    ASSERT_TRUE(hvSetType(v, HV_ARRAY | HV_HVAL, 2));
    HVALUE e = nullptr;
    ASSERT_TRUE(hvGetElement(v, 1, &e));
    Value element(e);
    ASSERT_TRUE(hvSetString(element, "through the element"));
    const char *s = nullptr;
    ASSERT_TRUE(hvGetElementString(v, 1, &s));
    EXPECT_STREQ(s, "through the element");

    // Setters on the array replace the element's content, which the held
    // element reference sees.
    ASSERT_TRUE(hvSetElementI32(v, 1, -9));
    EXPECT_EQ(hvGetType(element), unsigned(HV_I32));
    int32_t i = 0;
    ASSERT_TRUE(hvGetI32(element, &i));
    EXPECT_EQ(i, -9);
    double d = 0;
    ASSERT_TRUE(hvGetElementR64(v, 1, &d));
    EXPECT_EQ(d, -9.0);
    const hvTime t{77, 7};
    ASSERT_TRUE(hvSetElementTime(v, 0, &t));
    hvTime out{};
    ASSERT_TRUE(hvGetElementTime(v, 0, &out));
    EXPECT_EQ(out.seconds, 77u);
    EXPECT_FALSE(hvGetElementTime(v, 1, &out)) << "element 1 holds an I32";

    // The element outlives its parent while referenced.
    hvSetNull(v);
    ASSERT_TRUE(hvGetI32(element, &i));
    EXPECT_EQ(i, -9);
}

TEST_F(Arrays, ElementsOfListArraysAreLiveListsAndKeepTheirType) {
    Value v;
    ASSERT_TRUE(hvSetType(v, HV_ARRAY | HV_LIST, 2));
    HVALUE e = nullptr;
    ASSERT_TRUE(hvGetElement(v, 0, &e));
    Value element(e);
    Value item;
    hvSetU8(item, 3);
    ASSERT_TRUE(hvListAppend(element, item));
    HVALUE again = nullptr;
    ASSERT_TRUE(hvGetElement(v, 0, &again));
    EXPECT_EQ(hvListCount(again), 1u);
    hvRelease(again);

    EXPECT_FALSE(hvSetElementI32(v, 1, 5)) << "would turn a list element into a number";
    EXPECT_FALSE(hvSetElementString(v, 1, "x"));
    HVALUE second = nullptr;
    ASSERT_TRUE(hvGetElement(v, 1, &second));
    EXPECT_TRUE(hvIsList(second));
    hvRelease(second);
}

TEST_F(Arrays, ElementsOfTypedArraysAreDetachedCopies) {
    Value v;
    ASSERT_TRUE(hvSetType(v, HV_ARRAY | HV_U16, 3));
    hvSetQuality(v, 12);
    hvSetTimestamp(v, 99.5);
    hvSetElementU32(v, 1, 65535);
    HVALUE e = nullptr;
    ASSERT_TRUE(hvGetElement(v, 1, &e));
    Value element(e);
    EXPECT_EQ(hvGetType(element), unsigned(HV_U16));
    EXPECT_EQ(hvGetQuality(element), 12u);
    EXPECT_EQ(hvGetTimestamp(element), 99.5);
    uint16_t u = 0;
    ASSERT_TRUE(hvGetU16(element, &u));
    EXPECT_EQ(u, 65535);
    hvSetU16(element, 1);
    EXPECT_EQ(hvArrayDataU16(v)[1], 65535) << "writing the copy must not change the array";

    ASSERT_TRUE(hvSetType(v, HV_ARRAY | HV_STR, 1));
    hvSetElementString(v, 0, "kept");
    ASSERT_TRUE(hvGetElement(v, 0, &e));
    hvSetString(e, "copy changed");
    hvRelease(e);
    const char *s = nullptr;
    ASSERT_TRUE(hvGetElementString(v, 0, &s));
    EXPECT_STREQ(s, "kept");
}

TEST_F(Arrays, IndexZeroOfAScalarIsTheScalar) {
    Value v;
    ASSERT_TRUE(hvSetElementString(v, 0, "made from null"));
    EXPECT_EQ(hvGetType(v), unsigned(HV_STR));
    const char *s = nullptr;
    ASSERT_TRUE(hvGetElementString(v, 0, &s));
    EXPECT_STREQ(s, "made from null");
    EXPECT_FALSE(hvGetElementString(v, 1, &s));

    ASSERT_TRUE(hvSetElementR64(v, 0, 2.5));
    EXPECT_EQ(hvGetType(v), unsigned(HV_R64)) << "a setter makes a scalar of its own type";
    EXPECT_FALSE(hvSetElementR64(v, 1, 1.0));
    int32_t i = 0;
    ASSERT_TRUE(hvGetElementI32(v, 0, &i));
    EXPECT_EQ(i, 2);
    ASSERT_TRUE(hvSetElementU32(v, 0, 9));
    EXPECT_EQ(hvGetType(v), unsigned(HV_U32));
    const hvTime t{1, 2};
    ASSERT_TRUE(hvSetElementTime(v, 0, &t));
    EXPECT_EQ(hvGetType(v), unsigned(HV_TIME));

    HVALUE e = nullptr;
    ASSERT_TRUE(hvGetElement(v, 0, &e));
    Value element(e);
    EXPECT_EQ(hvGetType(element), unsigned(HV_TIME));
    EXPECT_NE(element.get(), v.get()) << "index 0 of a plain scalar is a copy";
    EXPECT_FALSE(hvGetElement(v, 1, &e));

    Value empty;
    EXPECT_FALSE(hvGetElement(empty, 0, &e)) << "null has no elements";
}

TEST_F(Arrays, HeldValueIsElementZeroAndLive) {
    Value v;
    ASSERT_TRUE(hvSetType(v, HV_HVAL, 0));
    EXPECT_EQ(hvGetCount(v), 1u);
    ASSERT_TRUE(hvSetElementString(v, 0, "inner"));
    EXPECT_EQ(hvGetType(v), unsigned(HV_HVAL)) << "the setter fills the held value";
    HVALUE e = nullptr;
    ASSERT_TRUE(hvGetElement(v, 0, &e));
    Value held(e);
    const char *s = nullptr;
    ASSERT_TRUE(hvGetString(held, &s));
    EXPECT_STREQ(s, "inner");
    hvSetI32(held, 4);
    int32_t i = 0;
    ASSERT_TRUE(hvGetElementI32(v, 0, &i));
    EXPECT_EQ(i, 4);
    EXPECT_FALSE(hvSetElementI32(v, 1, 1));
}

} // namespace
