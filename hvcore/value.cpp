// Value lifetime, copying, type changes, lists and the per-value attributes.
#include "hvcore/value_model.h"

#include <cmath>
#include <utility>

namespace {
volatile LONG g_live = 0;
}

hvValue::hvValue() : timestamp(hv::currentTimestamp()) { InterlockedIncrement(&g_live); }

hvValue::~hvValue() { InterlockedDecrement(&g_live); }

namespace hv {

Ref &Ref::operator=(Ref &&other) noexcept {
    if (this != &other) {
        reset();
        v_ = other.v_;
        other.v_ = nullptr;
    }
    return *this;
}

void Ref::reset() {
    if (v_) {
        hvRelease(v_);
        v_ = nullptr;
    }
}

void Content::swap(Content &other) noexcept {
    std::swap(type, other.type);
    std::swap(count, other.count);
    numbers.swap(other.numbers);
    strings.swap(other.strings);
    times.swap(other.times);
    values.swap(other.values);
}

std::size_t numberSize(unsigned base) {
    switch (base) {
    case HV_I8:
    case HV_U8:
        return 1;
    case HV_I16:
    case HV_U16:
        return 2;
    case HV_I32:
    case HV_U32:
    case HV_R32:
        return 4;
    case HV_R64:
        return 8;
    default:
        return 0;
    }
}

void allocNumbers(Content &c, unsigned base, uint32_t count) {
    c.numbers.assign((std::size_t(count) * numberSize(base) + 7) / 8, 0);
}

unsigned elementCount(const Content &c) {
    if (isArray(c.type)) return c.count;
    switch (c.type) {
    case HV_NULL:
        return 0;
    case HV_LIST:
        return static_cast<unsigned>(c.values.size());
    default:
        return 1;
    }
}

Ref newValue() { return Ref(new hvValue()); }

Ref cloneValue(HVALUE v) {
    Ref copy = newValue();
    copy.get()->quality = v->quality;
    copy.get()->timestamp = v->timestamp;
    Content c = clone(v->content);
    copy.get()->content.swap(c);
    return copy;
}

Content clone(const Content &c) {
    Content out;
    out.type = c.type;
    out.count = c.count;
    out.numbers = c.numbers;
    out.strings = c.strings;
    out.times = c.times;
    out.values.reserve(c.values.size());
    for (const Ref &element : c.values) out.values.push_back(cloneValue(element.get()));
    return out;
}

bool makeContent(unsigned type, unsigned count, Content &out) {
    if (!isKnownType(type)) return false;
    const unsigned base = baseOf(type);
    if (isArray(type)) {
        if (count > HV_MAX_COUNT) return false;
    } else {
        // A scalar is one element, except null (nothing) and a list (no items yet).
        count = (base == HV_NULL || base == HV_LIST) ? 0 : 1;
    }
    Content c;
    c.type = static_cast<uint8_t>(type);
    c.count = count;
    if (isNumeric(base)) {
        allocNumbers(c, base, count);
    } else if (base == HV_STR) {
        c.strings.resize(count);
    } else if (base == HV_TIME) {
        c.times.assign(count, hvTime{0, 0});
    } else if (base == HV_HVAL || (base == HV_LIST && isArray(type))) {
        c.values.reserve(count);
        for (unsigned i = 0; i < count; ++i) {
            Ref element = newValue();
            if (base == HV_LIST) element.get()->content.type = HV_LIST;
            c.values.push_back(std::move(element));
        }
    }
    out.swap(c);
    return true;
}

} // namespace hv

using hv::Content;
using hv::guarded;
using hv::Ref;

HVALUE hvCreate(void) {
    return guarded<HVALUE>(nullptr, [] { return hv::newValue().release(); });
}

int hvCopy(HVALUE destination, HVALUE source) {
    if (!destination || !source) return 0;
    return guarded(0, [&] {
        // Build the whole copy before touching the destination: the source may
        // be the destination itself or live inside it.
        Content c = hv::clone(source->content);
        const uint8_t quality = source->quality;
        const double timestamp = source->timestamp;
        destination->content.swap(c);
        destination->quality = quality;
        destination->timestamp = timestamp;
        return 1;
    });
}

HVALUE hvDuplicate(HVALUE h) {
    if (!h) return nullptr;
    return guarded<HVALUE>(nullptr, [&] { return hv::cloneValue(h).release(); });
}

long hvAddRef(HVALUE h) { return h ? InterlockedIncrement(&h->refs) : 0; }

long hvRelease(HVALUE h) {
    if (!h) return 0;
    const LONG left = InterlockedDecrement(&h->refs);
    if (left == 0) delete h;
    return left;
}

void hvSetNull(HVALUE h) {
    if (!h) return;
    Content empty;
    h->content.swap(empty);
}

int hvSetType(HVALUE h, unsigned type, unsigned count) {
    if (!h) return 0;
    return guarded(0, [&] {
        Content c;
        if (!hv::makeContent(type, count, c)) return 0;
        h->content.swap(c);
        return 1;
    });
}

unsigned hvGetType(HVALUE h) { return h ? h->content.type : 0; }

unsigned hvGetCount(HVALUE h) { return h ? hv::elementCount(h->content) : 0; }

namespace {
template <class T>
T *arrayData(HVALUE h, unsigned base) {
    if (!h || h->content.type != (HV_ARRAY | base) || h->content.count == 0) return nullptr;
    return reinterpret_cast<T *>(h->content.numbers.data());
}
} // namespace

int8_t *hvArrayDataI8(HVALUE h) { return arrayData<int8_t>(h, HV_I8); }
uint8_t *hvArrayDataU8(HVALUE h) { return arrayData<uint8_t>(h, HV_U8); }
int16_t *hvArrayDataI16(HVALUE h) { return arrayData<int16_t>(h, HV_I16); }
uint16_t *hvArrayDataU16(HVALUE h) { return arrayData<uint16_t>(h, HV_U16); }
int32_t *hvArrayDataI32(HVALUE h) { return arrayData<int32_t>(h, HV_I32); }
uint32_t *hvArrayDataU32(HVALUE h) { return arrayData<uint32_t>(h, HV_U32); }
float *hvArrayDataR32(HVALUE h) { return arrayData<float>(h, HV_R32); }
double *hvArrayDataR64(HVALUE h) { return arrayData<double>(h, HV_R64); }

int hvIsList(HVALUE h) { return h && h->content.type == HV_LIST; }

int hvListAppend(HVALUE list, HVALUE item) {
    if (!hvIsList(list) || !item) return 0;
    if (list->content.values.size() >= HV_MAX_COUNT) return 0;
    return guarded(0, [&] {
        // Copied before the push so that appending a list to itself is sound.
        Ref copy = hv::cloneValue(item);
        list->content.values.push_back(std::move(copy));
        return 1;
    });
}

unsigned hvListCount(HVALUE list) {
    return hvIsList(list) ? static_cast<unsigned>(list->content.values.size()) : 0;
}

namespace {
// A position is the index of the next item, so it stays safe (just ends the
// walk) if the list shrinks meanwhile.
HVALUE itemAt(HVALUE list, std::size_t index, hvPosition *position) {
    if (!hvIsList(list) || index >= list->content.values.size()) return nullptr;
    if (position) *position = reinterpret_cast<hvPosition>(static_cast<uintptr_t>(index + 1));
    return list->content.values[index].get();
}
} // namespace

HVALUE hvListFirst(HVALUE list, hvPosition *position) { return itemAt(list, 0, position); }

HVALUE hvListNext(HVALUE list, hvPosition *position) {
    if (!position) return nullptr;
    return itemAt(list, reinterpret_cast<uintptr_t>(*position), position);
}

int hvSetTimestamp(HVALUE h, double seconds) {
    if (!h || !std::isfinite(seconds)) return 0;
    h->timestamp = seconds;
    return 1;
}

double hvGetTimestamp(HVALUE h) { return h ? h->timestamp : 0.0; }

int hvSetQuality(HVALUE h, unsigned quality) {
    if (!h || quality > 255) return 0;
    h->quality = static_cast<uint8_t>(quality);
    return 1;
}

unsigned hvGetQuality(HVALUE h) { return h ? h->quality : 0; }

long hvLiveCount(void) { return InterlockedCompareExchange(&g_live, 0, 0); }
