// Scalar and element setters and getters, with the conversions documented in
// hvcore.h.
#include "hvcore/value_model.h"

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>

using hv::Content;
using hv::guarded;
using hv::Ref;

namespace {

// Any number read from a value, before conversion to the caller's type.
// Every integer type fits in int64_t.
struct Number {
    bool real;
    int64_t integer;
    double value;
};

template <class T>
constexpr unsigned typeCode() {
    if constexpr (std::is_same_v<T, int8_t>) return HV_I8;
    else if constexpr (std::is_same_v<T, uint8_t>) return HV_U8;
    else if constexpr (std::is_same_v<T, int16_t>) return HV_I16;
    else if constexpr (std::is_same_v<T, uint16_t>) return HV_U16;
    else if constexpr (std::is_same_v<T, int32_t>) return HV_I32;
    else if constexpr (std::is_same_v<T, uint32_t>) return HV_U32;
    else if constexpr (std::is_same_v<T, float>) return HV_R32;
    else return HV_R64;
}

template <class F>
bool withNumberType(unsigned base, F &&f) {
    switch (base) {
    case HV_I8: return f(int8_t{});
    case HV_U8: return f(uint8_t{});
    case HV_I16: return f(int16_t{});
    case HV_U16: return f(uint16_t{});
    case HV_I32: return f(int32_t{});
    case HV_U32: return f(uint32_t{});
    case HV_R32: return f(float{});
    case HV_R64: return f(double{});
    default: return false;
    }
}

template <class T>
Number toNumber(T v) {
    if constexpr (std::is_floating_point_v<T>) return Number{true, 0, static_cast<double>(v)};
    else return Number{false, static_cast<int64_t>(v), 0.0};
}

template <class T>
bool convert(const Number &n, T &out) {
    if constexpr (std::is_integral_v<T>) {
        constexpr int64_t lo = std::numeric_limits<T>::min();
        constexpr int64_t hi = std::numeric_limits<T>::max();
        if (n.real) {
            if (!std::isfinite(n.value)) return false;
            const double t = std::trunc(n.value);
            if (t < double(lo) || t > double(hi)) return false;
            out = static_cast<T>(t);
        } else {
            if (n.integer < lo || n.integer > hi) return false;
            out = static_cast<T>(n.integer);
        }
    } else if constexpr (std::is_same_v<T, float>) {
        if (!n.real) {
            out = static_cast<float>(n.integer);
        } else {
            // Finite reals beyond the float range would silently become infinite.
            if (std::isfinite(n.value) && std::fabs(n.value) > FLT_MAX) return false;
            out = static_cast<float>(n.value);
        }
    } else {
        out = n.real ? n.value : static_cast<double>(n.integer);
    }
    return true;
}

Number readNumber(const Content &c, unsigned i) {
    Number n{false, 0, 0.0};
    withNumberType(hv::baseOf(c.type), [&](auto tag) {
        decltype(tag) v;
        std::memcpy(&v, hv::numberAt(c, i), sizeof v);
        n = toNumber(v);
        return true;
    });
    return n;
}

bool writeNumber(Content &c, unsigned i, const Number &n) {
    return withNumberType(hv::baseOf(c.type), [&](auto tag) {
        decltype(tag) v;
        if (!convert(n, v)) return false;
        std::memcpy(hv::numberAt(c, i), &v, sizeof v);
        return true;
    });
}

// Optional sign, then decimal digits or 0x and hex digits; nothing else.
bool parseInteger(const std::string &text, Number &out) {
    const char *p = text.c_str();
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    unsigned radix = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        radix = 16;
        p += 2;
    }
    if (*p == '\0') return false;
    uint64_t magnitude = 0;
    for (; *p; ++p) {
        unsigned digit;
        if (*p >= '0' && *p <= '9') digit = unsigned(*p - '0');
        else if (radix == 16 && *p >= 'a' && *p <= 'f') digit = unsigned(*p - 'a' + 10);
        else if (radix == 16 && *p >= 'A' && *p <= 'F') digit = unsigned(*p - 'A' + 10);
        else return false;
        if (magnitude > (uint64_t(INT64_MAX) + 1 - digit) / radix) return false;
        magnitude = magnitude * radix + digit;
    }
    if (!negative && magnitude > uint64_t(INT64_MAX)) return false;
    out = Number{false, negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude), 0.0};
    return true;
}

// A decimal number: sign, digits, point and exponent only. The character
// filter keeps strtod from also accepting blanks, "inf", "nan" or hex floats.
bool parseReal(const std::string &text, Number &out) {
    if (text.empty() || text.find_first_not_of("0123456789+-.eE") != std::string::npos) return false;
    char *end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(v)) return false;
    out = Number{true, 0, v};
    return true;
}

// Where element i of a value lives.
struct Slot {
    enum Kind { None, Null, Numeric, String, Time, Value } kind;
    unsigned index;
    HVALUE value; // for Value
};

Slot locate(HVALUE h, unsigned i) {
    const Content &c = h->content;
    if (i >= hv::elementCount(c)) return Slot{Slot::None, 0, nullptr};
    const unsigned base = hv::baseOf(c.type);
    if (base == HV_HVAL || base == HV_LIST) return Slot{Slot::Value, i, c.values[i].get()};
    if (hv::isNumeric(base)) return Slot{Slot::Numeric, i, nullptr};
    if (base == HV_STR) return Slot{Slot::String, i, nullptr};
    if (base == HV_TIME) return Slot{Slot::Time, i, nullptr};
    return Slot{Slot::Null, i, nullptr};
}

// Scalar getters see plain scalars only: arrays, lists and held values fail.
bool isPlainScalar(const Content &c) {
    return !hv::isArray(c.type) && c.type != HV_HVAL && c.type != HV_LIST;
}

template <class T>
bool numberFromSlot(HVALUE h, const Slot &s, T &out) {
    Number n;
    if (s.kind == Slot::Numeric) {
        n = readNumber(h->content, s.index);
    } else if (s.kind == Slot::String) {
        const std::string &text = h->content.strings[s.index];
        if (!(std::is_integral_v<T> ? parseInteger(text, n) : parseReal(text, n))) return false;
    } else {
        return false;
    }
    return convert(n, out);
}

template <class T>
int getScalarNumber(HVALUE h, T *out) {
    if (!h || !out || !isPlainScalar(h->content)) return 0;
    return numberFromSlot(h, locate(h, 0), *out);
}

template <class T>
int getElementNumber(HVALUE h, unsigned i, T *out) {
    if (!h || !out) return 0;
    const Slot s = locate(h, i);
    if (s.kind == Slot::Value) return getScalarNumber(s.value, out);
    return numberFromSlot(h, s, *out);
}

int getScalarTime(HVALUE h, hvTime *out) {
    if (!h || !out || h->content.type != HV_TIME) return 0;
    *out = h->content.times[0];
    return 1;
}

int getScalarString(HVALUE h, const char **out) {
    if (!h || !out || h->content.type != HV_STR) return 0;
    *out = h->content.strings[0].c_str();
    return 1;
}

template <class T>
int setScalarNumber(HVALUE h, T v) {
    if (!h) return 0;
    return guarded(0, [&] {
        Content c;
        c.type = typeCode<T>();
        c.count = 1;
        hv::allocNumbers(c, c.type, 1);
        std::memcpy(hv::numberAt(c, 0), &v, sizeof v);
        h->content.swap(c);
        return 1;
    });
}

int setScalarTime(HVALUE h, const hvTime *v) {
    if (!h || !v || !hv::validTime(*v)) return 0;
    return guarded(0, [&] {
        Content c;
        c.type = HV_TIME;
        c.count = 1;
        c.times.assign(1, *v);
        h->content.swap(c);
        return 1;
    });
}

int setScalarString(HVALUE h, const char *text) {
    if (!h || !text) return 0;
    return guarded(0, [&] {
        Content c;
        c.type = HV_STR;
        c.count = 1;
        c.strings.emplace_back(text);
        h->content.swap(c);
        return 1;
    });
}

// The shared shape of the element setters: a value element takes the new
// content, a typed array slot of the setter's kind takes the data, and index
// 0 of a null or plain scalar turns the value into a scalar of that kind.
template <class StoreInSlot, class SetScalar>
int setElement(HVALUE h, unsigned i, Slot::Kind kind, StoreInSlot &&store, SetScalar &&setScalar) {
    if (!h) return 0;
    const Slot s = locate(h, i);
    // An array of lists keeps list elements; they change through hvGetElement.
    if (s.kind == Slot::Value) return h->content.type != (HV_ARRAY | HV_LIST) && setScalar(s.value);
    if (hv::isArray(h->content.type)) return s.kind == kind && store(s.index);
    if (i != 0 || !isPlainScalar(h->content)) return 0;
    return setScalar(h);
}

template <class T>
int setElementNumber(HVALUE h, unsigned i, T v) {
    return setElement(
        h, i, Slot::Numeric, [&](unsigned index) { return writeNumber(h->content, index, toNumber(v)); },
        [&](HVALUE target) { return setScalarNumber(target, v); });
}

// A detached value holding a copy of a typed array element (or of a scalar).
HVALUE copyOfSlot(HVALUE h, const Slot &s) {
    Ref copy = hv::newValue();
    HVALUE v = copy.get();
    v->quality = h->quality;
    v->timestamp = h->timestamp;
    const Content &from = h->content;
    Content &to = v->content;
    to.type = static_cast<uint8_t>(hv::baseOf(from.type));
    to.count = s.kind == Slot::Null ? 0 : 1;
    if (s.kind == Slot::Numeric) {
        hv::allocNumbers(to, to.type, 1);
        std::memcpy(hv::numberAt(to, 0), hv::numberAt(from, s.index), hv::numberSize(to.type));
    } else if (s.kind == Slot::String) {
        to.strings.push_back(from.strings[s.index]);
    } else if (s.kind == Slot::Time) {
        to.times.push_back(from.times[s.index]);
    }
    return copy.release();
}

} // namespace

int hvSetI8(HVALUE h, int8_t v) { return setScalarNumber(h, v); }
int hvGetI8(HVALUE h, int8_t *v) { return getScalarNumber(h, v); }
int hvSetU8(HVALUE h, uint8_t v) { return setScalarNumber(h, v); }
int hvGetU8(HVALUE h, uint8_t *v) { return getScalarNumber(h, v); }
int hvSetI16(HVALUE h, int16_t v) { return setScalarNumber(h, v); }
int hvGetI16(HVALUE h, int16_t *v) { return getScalarNumber(h, v); }
int hvSetU16(HVALUE h, uint16_t v) { return setScalarNumber(h, v); }
int hvGetU16(HVALUE h, uint16_t *v) { return getScalarNumber(h, v); }
int hvSetI32(HVALUE h, int32_t v) { return setScalarNumber(h, v); }
int hvGetI32(HVALUE h, int32_t *v) { return getScalarNumber(h, v); }
int hvSetU32(HVALUE h, uint32_t v) { return setScalarNumber(h, v); }
int hvGetU32(HVALUE h, uint32_t *v) { return getScalarNumber(h, v); }
int hvSetR32(HVALUE h, float v) { return setScalarNumber(h, v); }
int hvGetR32(HVALUE h, float *v) { return getScalarNumber(h, v); }
int hvSetR64(HVALUE h, double v) { return setScalarNumber(h, v); }
int hvGetR64(HVALUE h, double *v) { return getScalarNumber(h, v); }
int hvSetTime(HVALUE h, const hvTime *v) { return setScalarTime(h, v); }
int hvGetTime(HVALUE h, hvTime *v) { return getScalarTime(h, v); }
int hvSetString(HVALUE h, const char *text) { return setScalarString(h, text); }
int hvGetString(HVALUE h, const char **text) { return getScalarString(h, text); }

int hvSetElementI32(HVALUE h, unsigned index, int32_t v) { return setElementNumber(h, index, v); }
int hvGetElementI32(HVALUE h, unsigned index, int32_t *v) { return getElementNumber(h, index, v); }
int hvSetElementU32(HVALUE h, unsigned index, uint32_t v) { return setElementNumber(h, index, v); }
int hvGetElementU32(HVALUE h, unsigned index, uint32_t *v) { return getElementNumber(h, index, v); }
int hvSetElementR32(HVALUE h, unsigned index, float v) { return setElementNumber(h, index, v); }
int hvGetElementR32(HVALUE h, unsigned index, float *v) { return getElementNumber(h, index, v); }
int hvSetElementR64(HVALUE h, unsigned index, double v) { return setElementNumber(h, index, v); }
int hvGetElementR64(HVALUE h, unsigned index, double *v) { return getElementNumber(h, index, v); }

int hvSetElementTime(HVALUE h, unsigned index, const hvTime *v) {
    if (!v || !hv::validTime(*v)) return 0;
    return setElement(
        h, index, Slot::Time,
        [&](unsigned i) {
            h->content.times[i] = *v;
            return true;
        },
        [&](HVALUE target) { return setScalarTime(target, v); });
}

int hvGetElementTime(HVALUE h, unsigned index, hvTime *v) {
    if (!h || !v) return 0;
    const Slot s = locate(h, index);
    if (s.kind == Slot::Value) return getScalarTime(s.value, v);
    if (s.kind != Slot::Time) return 0;
    *v = h->content.times[s.index];
    return 1;
}

int hvSetElementString(HVALUE h, unsigned index, const char *text) {
    if (!text) return 0;
    return setElement(
        h, index, Slot::String,
        [&](unsigned i) { return guarded(false, [&] { return h->content.strings[i].assign(text), true; }); },
        [&](HVALUE target) { return setScalarString(target, text); });
}

int hvGetElementString(HVALUE h, unsigned index, const char **text) {
    if (!h || !text) return 0;
    const Slot s = locate(h, index);
    if (s.kind == Slot::Value) return getScalarString(s.value, text);
    if (s.kind != Slot::String) return 0;
    *text = h->content.strings[s.index].c_str();
    return 1;
}

int hvGetElement(HVALUE h, unsigned index, HVALUE *element) {
    if (!h || !element) return 0;
    const Slot s = locate(h, index);
    if (s.kind == Slot::None) return 0;
    if (s.kind == Slot::Value) {
        hvAddRef(s.value);
        *element = s.value;
        return 1;
    }
    HVALUE copy = guarded<HVALUE>(nullptr, [&] { return copyOfSlot(h, s); });
    if (!copy) return 0;
    *element = copy;
    return 1;
}
