#include "account/ledger_text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/compat.hpp"

namespace zk::ledger {
namespace {

// Integers below this have at most 15 digits, so at most one decimal string of
// a given length can read back as a given double.
constexpr double kExactDigits = 1e15;

// The digits of x when a short decimal reads back as exactly x: x = n / 10^k
// with the smallest such k. Both n and 10^k are exact doubles, so the quotient
// is what reading the decimal gives; and since x * 10^k is off by far less than
// 0.5, rounding it finds n whenever such an n exists.
bool short_decimal(double x, std::uint64_t& n, int& k) {
    static const double pow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18};
    for (k = 0; k <= 18; ++k) {
        const double scaled = std::nearbyint(x * pow10[k]);
        if (scaled >= kExactDigits) return false;
        if (scaled / pow10[k] == x) {
            n = static_cast<std::uint64_t>(scaled);
            return true;
        }
    }
    return false;
}

// Appends to a char buffer (callers give room for any repr: 40 chars).
struct Out {
    char* p;
    void put(char c) { *p++ = c; }
    void put(const char* from, const char* to) {
        while (from < to) *p++ = *from++;
    }
    void zeros(int n) {
        for (int i = 0; i < n; ++i) *p++ = '0';
    }
};

// Digits and decimal exponent from the shortest round-trip form (value =
// 0.d1d2... x 10^decpt), then laid out by the interpreter's rules.
char* write_float_general(char* dest, double x) {
    Out out{dest};
    char tmp[64];
    auto res = std::to_chars(tmp, tmp + sizeof tmp - 1, x, std::chars_format::scientific);
    const char* p = tmp;
    if (*p == '-') {
        out.put('-');
        ++p;
    }
    char digits[32];
    int nd = 0;
    for (; p < res.ptr && *p != 'e'; ++p)
        if (*p != '.') digits[nd++] = *p;
    int exp10 = 0;
    std::from_chars(p + 1 + (p[1] == '+'), res.ptr, exp10);
    const int decpt = exp10 + 1;
    if (decpt <= -4 || decpt > 16) {
        out.put(digits[0]);
        if (nd > 1) {
            out.put('.');
            out.put(digits + 1, digits + nd);
        }
        const int e = decpt - 1;
        out.put('e');
        out.put(e < 0 ? '-' : '+');
        const int ae = e < 0 ? -e : e;
        if (ae < 10) out.put('0');
        out.p = std::to_chars(out.p, out.p + 4, ae).ptr;
    } else if (decpt <= 0) {
        out.put('0');
        out.put('.');
        out.zeros(-decpt);
        out.put(digits, digits + nd);
    } else if (decpt >= nd) {
        out.put(digits, digits + nd);
        out.zeros(decpt - nd);
        out.put('.');
        out.put('0');
    } else {
        out.put(digits, digits + decpt);
        out.put('.');
        out.put(digits + decpt, digits + nd);
    }
    return out.p;
}

// x = n / 10^k (see short_decimal) in fixed notation with at least one decimal.
char* write_short_float(char* dest, double x, std::uint64_t n, int k) {
    Out out{dest};
    if (std::signbit(x)) out.put('-');
    char tmp[24];
    char* end = std::to_chars(tmp, tmp + sizeof tmp, n).ptr;
    const int nd = static_cast<int>(end - tmp);
    if (k == 0) {
        out.put(tmp, end);
        out.put('.');
        out.put('0');
    } else if (nd > k) {
        out.put(tmp, end - k);
        out.put('.');
        out.put(end - k, end);
    } else {
        out.put('0');
        out.put('.');
        out.zeros(k - nd);
        out.put(tmp, end);
    }
    return out.p;
}

// repr() of a float, as the interpreter writes it: the shortest digits that
// read back as x, exponent form below 1e-4 and from 1e16 on, a trailing ".0"
// for integral values. Returns the end.
char* write_float_repr(char* out, double x) {
    if (std::isnan(x) || std::isinf(x)) {
        const char* s = std::isnan(x) ? "nan" : x > 0 ? "inf" : "-inf";
        while (*s) *out++ = *s++;
        return out;
    }
    const double ax = std::fabs(x);
    std::uint64_t n = 0;
    int k = 0;
    if (ax == 0.0 || (ax >= 1e-4 && short_decimal(ax, n, k))) return write_short_float(out, x, n, k);
    return write_float_general(out, x);
}

// repr() of recent floats by their bits: prices, fees and amounts repeat from
// line to line, and a repr is a pure function of the bits. Used with the GIL held.
struct ReprCache {
    struct Entry {
        std::uint64_t bits;
        std::uint8_t len;  // 0: empty
        char text[31];     // a double's repr has at most 24 characters
    };
    Entry slots[256] = {};

    // The repr of x, from the cache or written into `tmp` (40 chars) and kept.
    std::string_view get(double x, char* tmp) {
        std::uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        Entry& e = slots[(bits * 0x9E3779B97F4A7C15ull) >> 56];
        if (e.len && e.bits == bits) return {e.text, e.len};
        const size_t n = static_cast<size_t>(write_float_repr(tmp, x) - tmp);
        if (n <= sizeof e.text) {
            std::memcpy(e.text, tmp, n);
            e.bits = bits;
            e.len = static_cast<std::uint8_t>(n);
        }
        return {tmp, n};
    }
};

ReprCache float_reprs;

ReprCache& repr_cache() { return float_reprs; }

}  // namespace

void Text::grow(size_t n) {
    std::u32string bigger(std::max<size_t>(2 * cap(), len_ + n), U'\0');
    std::copy(data(), data() + len_, bigger.data());
    heap_.swap(bigger);
}

void Text::put_ascii(const char* s, size_t n) {
    char32_t* out = room(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<unsigned char>(s[i]);
    len_ += n;
}

bool Text::put_scalar(PyObject* v) {
    if (PyFloat_CheckExact(v)) {
        char tmp[40];
        const std::string_view text = repr_cache().get(PyFloat_AS_DOUBLE(v), tmp);
        put_ascii(text.data(), text.size());
        return true;
    }
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow) return false;
        char tmp[24];
        auto res = std::to_chars(tmp, tmp + sizeof tmp, n);
        put_ascii(tmp, static_cast<size_t>(res.ptr - tmp));
        return true;
    }
    if (v == Py_True || v == Py_False || v == Py_None) {
        const char* s = v == Py_True ? "True" : v == Py_False ? "False" : "None";
        put_ascii(s, std::char_traits<char>::length(s));
        return true;
    }
    return false;
}

void Text::put_str(PyObject* s) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const void* data = PyUnicode_DATA(s);
    char32_t* out = room(static_cast<size_t>(n));
    len_ += static_cast<size_t>(n);
    // A str is kept in the narrowest kind its text needs, so its bound is ours too.
    const char32_t bound = PyUnicode_MAX_CHAR_VALUE(s);
    if (bound > max_) max_ = bound;
    switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND:
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = static_cast<const Py_UCS1*>(data)[i];
        break;
    case PyUnicode_2BYTE_KIND:
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = static_cast<const Py_UCS2*>(data)[i];
        break;
    default:
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = static_cast<const Py_UCS4*>(data)[i];
    }
}

Text& Text::fmt(py::handle value) {
    PyObject* v = value.ptr();
    if (PyUnicode_CheckExact(v)) {
        put_str(v);
    } else if (!put_scalar(v)) {
        py::object s = steal(PyObject_Format(v, nullptr));
        put_str(s.ptr());
    }
    return *this;
}

// A str that repr() writes as itself between apostrophes.
static bool plain_ascii(PyObject* s) {
    if (!PyUnicode_IS_ASCII(s)) return false;
    const char* p = static_cast<const char*>(PyUnicode_DATA(s));
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(s); i < n; ++i)
        if (p[i] < 0x20 || p[i] == 0x7f || p[i] == '\'' || p[i] == '\\') return false;
    return true;
}

void Text::put_repr(PyObject* v) {
    if (PyUnicode_CheckExact(v) && plain_ascii(v)) {
        put_char(U'\'');
        put_str(v);
        put_char(U'\'');
    } else if (!put_scalar(v)) {
        py::object s = steal(PyObject_Repr(v));
        put_str(s.ptr());
    }
}

Text& Text::items(const std::string* heads, const py::object* values, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        put_ascii(heads[i].data(), heads[i].size());
        put_repr(values[i].ptr());
    }
    put_char(U'}');
    return *this;
}

Text& Text::dict(py::handle d) {
    PyObject* o = d.ptr();
    bool simple = PyDict_CheckExact(o);
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (simple && PyDict_Next(o, &pos, &k, &v))
        simple = PyUnicode_CheckExact(k) && (PyUnicode_CheckExact(v) || PyFloat_CheckExact(v) ||
                                             PyLong_CheckExact(v) || PyBool_Check(v) || v == Py_None);
    if (!simple) return fmt(d);
    // Only scalars inside: no user code runs while the items are read.
    put_char(U'{');
    pos = 0;
    bool first = true;
    while (PyDict_Next(o, &pos, &k, &v)) {
        if (!first) lit(U", ");
        first = false;
        put_repr(k);
        lit(U": ");
        put_repr(v);
    }
    put_char(U'}');
    return *this;
}

py::object Text::str() const {
    // Literals may hold any code point: widen the bound to its kind's.
    const char32_t bound = max_ < 0x80 ? 0x7f : max_ < 0x100 ? 0xff : max_ < 0x10000 ? 0xffff : 0x10ffff;
    py::object s = steal(PyUnicode_New(static_cast<Py_ssize_t>(len_), bound));
    const char32_t* in = data();
    void* out = PyUnicode_DATA(s.ptr());
    switch (PyUnicode_KIND(s.ptr())) {
    case PyUnicode_1BYTE_KIND:
        for (size_t i = 0; i < len_; ++i) static_cast<Py_UCS1*>(out)[i] = static_cast<Py_UCS1>(in[i]);
        break;
    case PyUnicode_2BYTE_KIND:
        for (size_t i = 0; i < len_; ++i) static_cast<Py_UCS2*>(out)[i] = static_cast<Py_UCS2>(in[i]);
        break;
    default:
        for (size_t i = 0; i < len_; ++i) static_cast<Py_UCS4*>(out)[i] = in[i];
    }
    return s;
}

}  // namespace zk::ledger
