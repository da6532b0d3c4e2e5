/*
 * Flat image of a value (hvFlatSize, hvFlatten, hvUnflatten).
 *
 * All fields are little-endian; reals are their IEEE-754 bit patterns.
 *
 *   image   := "HVF1" record                      (4-byte magic, then one record)
 *   record  := type:u8 quality:u8 timestamp:f64 payload
 *   payload, by type:
 *     0x00        null      nothing
 *     0x01..0x08  number    the number in its own width (1, 1, 2, 2, 4, 4, 4, 8 bytes)
 *     0x09        string    length:u32, then the bytes (no terminator, no NUL inside)
 *     0x0A        value     record of the held value
 *     0x0B        time      seconds:u32 milliseconds:u16 (at most 999)
 *     0x0C        list      count:u16, then count records
 *     0x80|t      array     count:u16, then count elements, each as the payload of
 *                           type t, except that elements of 0x8C are records
 *                           (each list has its own quality and timestamp)
 *
 * The image must end right after the top record. hvUnflatten refuses unknown
 * types, non-finite timestamps, bad milliseconds, strings with NUL, trailing
 * bytes, truncation and nesting deeper than kMaxDepth records; it then leaves
 * the target untouched.
 */
#include "hvcore/value_model.h"

#include <climits>
#include <cmath>
#include <cstring>
#include <utility>

using hv::Content;
using hv::guarded;
using hv::Ref;

namespace {

const unsigned char kMagic[4] = {'H', 'V', 'F', '1'};
constexpr int kMaxDepth = 256;
constexpr std::size_t kRecordHeader = 10;

// Counts the bytes when given no buffer, so one walk serves both size and output.
// Little-endian is the target's own byte order, so fields are copied as they are.
class Sink {
public:
    explicit Sink(unsigned char *out) : out_(out) {}
    void put(const void *data, std::size_t n) {
        if (out_) std::memcpy(out_ + size_, data, n);
        size_ += n;
    }
    template <class T>
    void put(T v) {
        put(&v, sizeof v);
    }
    std::size_t size() const { return size_; }

private:
    unsigned char *out_;
    std::size_t size_ = 0;
};

void putRecord(Sink &sink, HVALUE v);

void putElement(Sink &sink, const Content &c, unsigned i) {
    const unsigned base = hv::baseOf(c.type);
    if (hv::isNumeric(base)) {
        sink.put(hv::numberAt(c, i), hv::numberSize(base));
    } else if (base == HV_STR) {
        const std::string &s = c.strings[i];
        sink.put(static_cast<uint32_t>(s.size()));
        sink.put(s.data(), s.size());
    } else if (base == HV_TIME) {
        sink.put(c.times[i].seconds);
        sink.put(c.times[i].milliseconds);
    } else if (base == HV_HVAL || base == HV_LIST) {
        putRecord(sink, c.values[i].get());
    }
}

void putRecord(Sink &sink, HVALUE v) {
    const Content &c = v->content;
    sink.put(c.type);
    sink.put(v->quality);
    sink.put(v->timestamp);
    if (hv::isArray(c.type)) {
        sink.put(static_cast<uint16_t>(c.count));
        for (unsigned i = 0; i < c.count; ++i) putElement(sink, c, i);
    } else if (c.type == HV_LIST) {
        sink.put(static_cast<uint16_t>(c.values.size()));
        for (const Ref &item : c.values) putRecord(sink, item.get());
    } else if (c.type != HV_NULL) {
        putElement(sink, c, 0);
    }
}

class Source {
public:
    Source(const unsigned char *p, std::size_t left) : p_(p), left_(left) {}
    bool take(void *out, std::size_t n) {
        if (n > left_) return false;
        std::memcpy(out, p_, n);
        p_ += n;
        left_ -= n;
        return true;
    }
    template <class T>
    bool take(T &out) {
        return take(&out, sizeof out);
    }
    std::size_t left() const { return left_; }

private:
    const unsigned char *p_;
    std::size_t left_;
};

struct Header {
    uint8_t type;
    uint8_t quality;
    double timestamp;
};

bool takeHeader(Source &in, Header &h) {
    return in.take(h.type) && in.take(h.quality) && in.take(h.timestamp) && hv::isKnownType(h.type) &&
           std::isfinite(h.timestamp);
}

bool takeContent(Source &in, uint8_t type, Content &c, int depth);

bool takeRecord(Source &in, Ref &out, int depth) {
    if (depth > kMaxDepth) return false;
    Header h;
    if (!takeHeader(in, h)) return false;
    Ref v = hv::newValue();
    if (!takeContent(in, h.type, v.get()->content, depth)) return false;
    v.get()->quality = h.quality;
    v.get()->timestamp = h.timestamp;
    out = std::move(v);
    return true;
}

bool takeElement(Source &in, unsigned base, Content &c, unsigned i, int depth) {
    if (hv::isNumeric(base)) return in.take(hv::numberAt(c, i), hv::numberSize(base));
    if (base == HV_STR) {
        uint32_t length;
        if (!in.take(length) || length > in.left()) return false;
        std::string s(length, '\0');
        if (!in.take(&s[0], length) || s.find('\0') != std::string::npos) return false;
        c.strings.push_back(std::move(s));
        return true;
    }
    if (base == HV_TIME) {
        hvTime t;
        if (!in.take(t.seconds) || !in.take(t.milliseconds) || !hv::validTime(t)) return false;
        c.times.push_back(t);
        return true;
    }
    if (base == HV_HVAL || base == HV_LIST) {
        Ref v;
        if (!takeRecord(in, v, depth + 1)) return false;
        c.values.push_back(std::move(v));
    }
    return true;
}

bool takeContent(Source &in, uint8_t type, Content &c, int depth) {
    const unsigned base = hv::baseOf(type);
    c.type = type;
    if (!hv::isArray(type) && base == HV_LIST) {
        uint16_t count;
        if (!in.take(count) || std::size_t(count) * kRecordHeader > in.left()) return false;
        for (unsigned i = 0; i < count; ++i) {
            Ref item;
            if (!takeRecord(in, item, depth + 1)) return false;
            c.values.push_back(std::move(item));
        }
        return true;
    }
    uint16_t count = 0;
    if (hv::isArray(type)) {
        if (!in.take(count)) return false;
        // Cheap bound before allocating: every element needs at least this much.
        const std::size_t least = hv::isNumeric(base) ? hv::numberSize(base)
                                  : base == HV_STR    ? 4
                                  : base == HV_TIME   ? 6
                                  : base == HV_NULL   ? 0
                                                      : kRecordHeader;
        if (std::size_t(count) * least > in.left()) return false;
    } else {
        count = base == HV_NULL ? 0 : 1;
    }
    c.count = count;
    if (hv::isNumeric(base)) hv::allocNumbers(c, base, count);
    for (unsigned i = 0; i < count; ++i)
        if (!takeElement(in, base, c, i, depth)) return false;
    return true;
}

bool flatSize(HVALUE h, std::size_t &size) {
    Sink counter(nullptr);
    counter.put(kMagic, sizeof kMagic);
    putRecord(counter, h);
    size = counter.size();
    return size <= UINT_MAX;
}

} // namespace

unsigned hvFlatSize(HVALUE h) {
    std::size_t size;
    return h && flatSize(h, size) ? static_cast<unsigned>(size) : 0;
}

unsigned hvFlatten(HVALUE h, void *buffer) {
    std::size_t size;
    if (!h || !buffer || !flatSize(h, size)) return 0;
    Sink out(static_cast<unsigned char *>(buffer));
    out.put(kMagic, sizeof kMagic);
    putRecord(out, h);
    return static_cast<unsigned>(out.size());
}

int hvUnflatten(HVALUE h, const void *buffer, unsigned size) {
    if (!h || !buffer) return 0;
    return guarded(0, [&] {
        Source in(static_cast<const unsigned char *>(buffer), size);
        unsigned char magic[sizeof kMagic];
        if (!in.take(magic, sizeof magic) || std::memcmp(magic, kMagic, sizeof magic) != 0) return 0;
        Header header;
        Content c;
        if (!takeHeader(in, header) || !takeContent(in, header.type, c, 0) || in.left() != 0) return 0;
        h->content.swap(c);
        h->quality = header.quality;
        h->timestamp = header.timestamp;
        return 1;
    });
}
