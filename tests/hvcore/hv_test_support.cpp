#include "tests/hvcore/hv_test_support.h"

#include <cstring>

std::vector<unsigned char> flatten(HVALUE h) {
    std::vector<unsigned char> image(hvFlatSize(h));
    if (!image.empty()) image.resize(hvFlatten(h, image.data()));
    return image;
}

namespace {

std::string elementDifference(HVALUE a, HVALUE b, unsigned i) {
    const std::string where = "element " + std::to_string(i) + ": ";
    const unsigned base = hvGetType(a) & 0x7F;
    if (base == HV_STR) {
        const char *sa = nullptr, *sb = nullptr;
        if (!hvGetElementString(a, i, &sa) || !hvGetElementString(b, i, &sb)) return where + "unreadable string";
        return std::strcmp(sa, sb) == 0 ? "" : where + sa + " vs " + sb;
    }
    if (base == HV_TIME) {
        hvTime ta{}, tb{};
        if (!hvGetElementTime(a, i, &ta) || !hvGetElementTime(b, i, &tb)) return where + "unreadable time";
        return ta.seconds == tb.seconds && ta.milliseconds == tb.milliseconds ? "" : where + "times differ";
    }
    HVALUE ea = nullptr, eb = nullptr;
    if (!hvGetElement(a, i, &ea) || !hvGetElement(b, i, &eb)) {
        hvRelease(ea);
        return where + "hvGetElement failed";
    }
    std::string d;
    if (base == HV_NULL) {
        d = hvGetType(ea) == HV_NULL && hvGetType(eb) == HV_NULL ? "" : "not null";
    } else if (base == HV_HVAL || base == HV_LIST) {
        d = difference(ea, eb);
    } else {
        // Numbers: compare the bit patterns so that NaN payloads count too.
        double ra = 0, rb = 0;
        hvGetR64(ea, &ra);
        hvGetR64(eb, &rb);
        d = std::memcmp(&ra, &rb, sizeof ra) == 0 ? "" : "numbers differ";
    }
    hvRelease(ea);
    hvRelease(eb);
    return d.empty() ? d : where + d;
}

} // namespace

std::string difference(HVALUE a, HVALUE b) {
    if (hvGetType(a) != hvGetType(b))
        return "type " + std::to_string(hvGetType(a)) + " vs " + std::to_string(hvGetType(b));
    if (hvGetQuality(a) != hvGetQuality(b)) return "quality";
    const double ta = hvGetTimestamp(a), tb = hvGetTimestamp(b);
    if (std::memcmp(&ta, &tb, sizeof ta) != 0) return "timestamp";
    if (hvGetCount(a) != hvGetCount(b)) return "count";
    for (unsigned i = 0; i < hvGetCount(a); ++i) {
        std::string d = elementDifference(a, b, i);
        if (!d.empty()) return d;
    }
    return "";
}

void buildEverything(HVALUE h) {
    hvSetType(h, HV_LIST, 0);
    hvSetQuality(h, 0);
    hvSetTimestamp(h, 1234.5);
    Value item;
    hvSetNull(item);
    hvListAppend(h, item);
    hvSetI8(item, -7);
    hvListAppend(h, item);
    hvSetU8(item, 250);
    hvListAppend(h, item);
    hvSetI16(item, -30000);
    hvListAppend(h, item);
    hvSetU16(item, 60000);
    hvListAppend(h, item);
    hvSetI32(item, -2000000000);
    hvListAppend(h, item);
    hvSetU32(item, 4000000000u);
    hvListAppend(h, item);
    hvSetR32(item, 1.25f);
    hvListAppend(h, item);
    hvSetR64(item, -3.0e300);
    hvListAppend(h, item);
    hvSetString(item, "scalar text");
    hvListAppend(h, item);
    const hvTime t{1700000000u, 999};
    hvSetTime(item, &t);
    hvListAppend(h, item);
    hvSetType(item, HV_HVAL, 0);
    hvSetElementString(item, 0, "held");
    hvListAppend(h, item);
    hvSetType(item, HV_LIST, 0);
    hvListAppend(h, item); // an empty list

    for (unsigned base = HV_NULL; base <= HV_LIST; ++base) {
        hvSetType(item, HV_ARRAY | base, 3);
        hvSetQuality(item, 64 + base);
        hvSetTimestamp(item, 1e9 + base);
        for (unsigned i = 0; i < 3; ++i) {
            hvSetElementI32(item, i, int32_t(base * 10 + i));
            hvSetElementString(item, i, i == 1 ? "" : "element text");
            const hvTime et{uint32_t(i * 1000 + 1), uint16_t(i * 333)};
            hvSetElementTime(item, i, &et);
        }
        if (base == HV_LIST) {
            HVALUE inner = nullptr;
            hvGetElement(item, 2, &inner);
            Value innerItem;
            hvSetR64(innerItem, 0.5);
            hvListAppend(inner, innerItem);
            hvRelease(inner);
        }
        hvListAppend(h, item);
    }
}
