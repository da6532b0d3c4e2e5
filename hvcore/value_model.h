// Internal representation of values, shared by the library's sources.
#ifndef QUILLON_HVCORE_VALUE_MODEL_H
#define QUILLON_HVCORE_VALUE_MODEL_H

#include "values/hvcore.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hv {

// Owns one reference to a value. Containers hold their element values through
// it, so dropping a content releases everything below it.
class Ref {
public:
    Ref() = default;
    explicit Ref(HVALUE v) : v_(v) {}
    Ref(Ref &&other) noexcept : v_(other.v_) { other.v_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept;
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() { reset(); }

    HVALUE get() const { return v_; }
    HVALUE release() {
        HVALUE v = v_;
        v_ = nullptr;
        return v;
    }
    void reset();

private:
    HVALUE v_ = nullptr;
};

// Scalars are stored as one-element containers so that "index 0 of a scalar"
// and "element i of an array" share one code path. Only the container that
// matches the type's base is used.
struct Content {
    uint8_t type = HV_NULL;
    uint32_t count = 0;               // elements of an array (1 for a number, string or time scalar)
    std::vector<uint64_t> numbers;    // numeric elements packed contiguously; 64-bit words keep R64 aligned
    std::vector<std::string> strings; // STR
    std::vector<hvTime> times;        // TIME
    std::vector<Ref> values;          // HVAL (one), LIST items, elements of 0x8A and 0x8C

    void swap(Content &other) noexcept;
};

inline unsigned baseOf(unsigned type) { return type & 0x7Fu; }
inline bool isArray(unsigned type) { return (type & HV_ARRAY) != 0; }
inline bool isNumeric(unsigned base) { return base >= HV_I8 && base <= HV_R64; }
inline bool isKnownType(unsigned type) { return type <= 0xFFu && baseOf(type) <= HV_LIST; }
std::size_t numberSize(unsigned base);
inline unsigned char *numberAt(Content &c, unsigned i) {
    return reinterpret_cast<unsigned char *>(c.numbers.data()) + std::size_t(i) * numberSize(baseOf(c.type));
}
inline const unsigned char *numberAt(const Content &c, unsigned i) {
    return reinterpret_cast<const unsigned char *>(c.numbers.data()) + std::size_t(i) * numberSize(baseOf(c.type));
}
// Sizes the numeric storage for count zeroed elements of base.
void allocNumbers(Content &c, unsigned base, uint32_t count);

// Number of addressable elements (see hvGetCount).
unsigned elementCount(const Content &c);

// A fresh value: null, good quality, stamped with the current time. Throws on
// allocation failure, like everything below; the exported functions catch.
Ref newValue();
// Deep copy: nested values are copied, never shared.
Content clone(const Content &c);
Ref cloneValue(HVALUE v);
// Fails only for unknown types or array counts above HV_MAX_COUNT.
bool makeContent(unsigned type, unsigned count, Content &out);

double currentTimestamp();
inline bool validTime(const hvTime &t) { return t.milliseconds <= 999; }

// Runs f and turns any exception into the failure result, so that no C++
// exception ever crosses the C interface.
template <class R, class F>
R guarded(R failure, F &&f) {
    try {
        return f();
    } catch (...) {
        return failure;
    }
}

} // namespace hv

struct hvValue {
    hvValue();
    ~hvValue();
    hvValue(const hvValue &) = delete;
    hvValue &operator=(const hvValue &) = delete;

    volatile LONG refs = 1;
    uint8_t quality = HV_QUALITY_GOOD;
    double timestamp;
    hv::Content content;
};

#endif
