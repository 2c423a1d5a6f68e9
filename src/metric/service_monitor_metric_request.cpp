#include "service_monitor_metric_request.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

using uchar = unsigned char;

constexpr int kNestingLimit = 1000;  // cJSON's CJSON_NESTING_LIMIT
constexpr size_t kNumberChars = 63;  // longer numbers take an allocation
constexpr size_t kKeyBufSize = 16;   // longer keys match none of the names looked up

struct KeyName {
    const char* text;  // ASCII letters only
    size_t length;
};

template <size_t N>
constexpr KeyName _key(const char (&text)[N]) {
    return KeyName{text, N - 1};
}

// The members of an object to look up, and where each first match goes. When the match
// for params is an array, its first elements go to request's entries.
struct Capture {
    const KeyName* names;
    JSON_VALUE_T* const* fields;
    size_t count;
    METRIC_REQUEST_T* request = nullptr;
};

constexpr KeyName kEntryNames[] = {_key("metricName"), _key("value"), _key("collectRule")};

Capture _entryCapture(METRIC_ENTRY_T* entry, JSON_VALUE_T* (&fields)[3]) {
    fields[0] = &entry->metricName;
    fields[1] = &entry->value;
    fields[2] = &entry->collectRule;
    return Capture{kEntryNames, fields, 3};
}

unsigned _hex4(const uchar* s) {
    unsigned h = 0;
    for (int i = 0; i < 4; ++i) {
        const unsigned c = s[i];
        const unsigned lower = c | 0x20U;  // 'A'..'F' become 'a'..'f', digits stay
        if (c >= '0' && c <= '9') {
            h = (h << 4) | (c - '0');
        } else if (lower >= 'a' && lower <= 'f') {
            h = (h << 4) | (lower - 'a' + 10);
        } else {
            return 0;  // as cJSON: not hex reads as U+0000
        }
    }
    return h;
}

// The code point of the \u escape at s (s < end, end the closing quote) and the escape's
// length (6 or 12), or 0 when cJSON refuses it.
size_t _utf16Escape(const uchar* s, const uchar* end, unsigned* codepoint) {
    if (end - s < 6) return 0;
    const unsigned first = _hex4(s + 2);
    if (first >= 0xDC00 && first <= 0xDFFF) return 0;
    if (first < 0xD800 || first > 0xDBFF) {
        *codepoint = first;
        return 6;
    }
    const uchar* const second = s + 6;
    if (end - second < 6 || second[0] != '\\' || second[1] != 'u') return 0;
    const unsigned low = _hex4(second + 2);
    if (low < 0xDC00 || low > 0xDFFF) return 0;
    *codepoint = 0x10000 + (((first & 0x3FF) << 10) | (low & 0x3FF));
    return 12;
}

size_t _utf8Encode(unsigned cp, uchar* out) {
    const size_t n = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    static const uchar kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
    for (size_t i = n - 1; i > 0; --i, cp >>= 6) out[i] = static_cast<uchar>((cp | 0x80) & 0xBF);
    out[0] = static_cast<uchar>(cp | kLead[n]);
    return n;
}

// The byte a two-character escape stands for, or 0 for one cJSON refuses.
uchar _simpleEscape(uchar c) {
    static const char kLetters[] = "bfnrt\"\\/";
    static const char kBytes[] = "\b\f\n\r\t\"\\/";
    const char* const at = c != 0 ? strchr(kLetters, c) : nullptr;
    return at != nullptr ? static_cast<uchar>(kBytes[at - kLetters]) : 0;
}

// Walks the content of a string (after its opening quote, up to end) unescaping it;
// emit(bytes, n) gets each piece and returns false to stop. false for a refused escape.
template <typename Emit>
bool _unescape(const uchar* s, const uchar* end, Emit emit) {
    while (s < end) {
        if (*s != '\\') {
            if (!emit(s, 1)) return true;
            ++s;
            continue;
        }
        uchar unit[4];
        size_t n = 1;
        if (s[1] == 'u') {
            unsigned cp = 0;
            const size_t len = _utf16Escape(s, end, &cp);
            if (len == 0) return false;
            n = _utf8Encode(cp, unit);
            s += len;
        } else {
            unit[0] = _simpleEscape(s[1]);
            if (unit[0] == 0) return false;
            s += 2;
        }
        if (!emit(unit, n)) return true;
    }
    return true;
}

// Byte classes: the bytes a string runs over without a look, and those of a number's text.
constexpr uint8_t kInString = 1, kInNumber = 2;
constexpr std::array<uint8_t, 256> kByteClass = [] {
    std::array<uint8_t, 256> classes{};
    for (size_t c = 1; c < classes.size(); ++c) classes[c] = c == '"' || c == '\\' ? 0 : kInString;
    for (const char* c = "0123456789+-.eE"; *c != '\0'; ++c) classes[uchar(*c)] |= kInNumber;
    return classes;
}();

// The closing quote of the string opening at s, or null at the NUL; a backslash hides the
// byte after it, a quote included. *escaped tells whether a backslash comes before it.
const uchar* _closingQuote(const uchar* s, bool* escaped) {
    *escaped = false;
    for (const uchar* q = s + 1;; ++q) {
        while ((kByteClass[*q] & kInString) != 0) ++q;
        if (*q != '\\') return *q == '"' ? q : nullptr;  // the quote, or the NUL
        *escaped = true;  // a backslash
        if (*++q == '\0') return nullptr;
    }
}

// Whether the n bytes at key are name in any letter case. name holds ASCII letters only,
// so folding bit 0x20 of each byte matches exactly the bytes strncasecmp matches.
bool _sameLetters(const char* key, const KeyName& name, size_t n) {
    if (n != name.length) return false;
    if (memcmp(key, name.text, n) == 0) return true;  // as written, the usual case
    size_t i = 0;
    while (i < n && (static_cast<uchar>(key[i]) | 0x20U) == (name.text[i] | 0x20U)) ++i;
    return i == n;
}

// Integers of up to 15 digits are exact in a double: no need for strtod.
bool _smallInteger(const uchar* text, size_t n, double* out) {
    const bool negative = n > 0 && text[0] == '-';
    const size_t first = negative ? 1 : 0;
    if (n == first || n - first > 15) return false;
    int64_t v = 0;
    for (size_t i = first; i < n; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + (text[i] - '0');
    }
    *out = negative ? -static_cast<double>(v) : static_cast<double>(v);
    return true;
}

class Reader {
public:
    Reader(const uchar* at, const uchar* nul) : p_(at), nul_(nul), limit_(nul + 1) {}

    const uchar* at() const { return p_; }
    void skipSpace() {
        while (*p_ <= 32 && p_ < nul_) ++p_;  // the NUL itself is readable
    }
    bool value(int depth, JSON_VALUE_T* field, const Capture* capture,
               METRIC_REQUEST_T* entriesOf = nullptr);
    bool next(char c) {
        if (*p_ != c) return false;
        ++p_;
        return true;
    }

private:
    bool literal(const char* word, size_t n) {
        if (static_cast<size_t>(limit_ - p_) < n || memcmp(p_, word, n) != 0) return false;
        p_ += n;
        return true;
    }
    // Inlined: called for every key and string value, and small once escapes go out of line.
    __attribute__((always_inline)) bool string(JSON_VALUE_T* found);
    bool number(double* out);
    bool array(int depth, size_t* count, METRIC_REQUEST_T* entriesOf);
    bool element(int depth, size_t index, METRIC_REQUEST_T* entriesOf);
    bool object(int depth, const Capture* capture);
    JSON_VALUE_T* match(const JSON_VALUE_T& key, const Capture* capture) const;

    const uchar* p_;
    const uchar* nul_;    // the terminating NUL: whitespace stops here
    const uchar* limit_;  // one past it, as cJSON counts the NUL in the length
};

// Out of line: few strings hold escapes, and the walk would weigh on every string's call.
__attribute__((noinline)) bool _escapesValid(const uchar* s, const uchar* end) {
    return _unescape(s, end, [](const uchar*, size_t) { return true; });
}

// Fills found's string fields: the readers of the value never look for its end again.
inline bool Reader::string(JSON_VALUE_T* found) {
    bool escaped = false;
    const uchar* const close = _closingQuote(p_, &escaped);
    if (close == nullptr || (escaped && !_escapesValid(p_ + 1, close))) return false;
    found->kind = JsonKind::kString;
    found->escaped = escaped;
    found->count = static_cast<size_t>(close - p_ - 1);
    p_ = close + 1;
    return true;
}

bool Reader::number(double* out) {
    // The whole run of number characters goes to strtod, however long, as cJSON does.
    size_t n = 0;
    while (p_ + n < nul_ && (kByteClass[p_[n]] & kInNumber) != 0) ++n;
    if (_smallInteger(p_, n, out)) {
        p_ += n;
        return true;
    }
    char shortText[kNumberChars + 1] = {};
    std::string longText;
    char* text = shortText;
    try {
        if (n > kNumberChars) text = &longText.assign(reinterpret_cast<const char*>(p_), n)[0];
    } catch (const std::bad_alloc&) {
        return false;  // as cJSON, which cannot parse without its buffer either
    }
    if (n <= kNumberChars) memcpy(shortText, p_, n);
    char* after = nullptr;
    *out = strtod(text, &after);
    if (after == text) return false;
    p_ += after - text;
    return true;
}

bool Reader::element(int depth, size_t index, METRIC_REQUEST_T* entriesOf) {
    if (entriesOf == nullptr || index >= METRIC_REQUEST_T::kEntriesAhead) {
        return value(depth, nullptr, nullptr);
    }
    entriesOf->entries[index] = METRIC_ENTRY_T{};
    JSON_VALUE_T* fields[3];
    const Capture capture = _entryCapture(&entriesOf->entries[index], fields);
    return value(depth, nullptr, &capture);
}

bool Reader::array(int depth, size_t* count, METRIC_REQUEST_T* entriesOf) {
    if (depth >= kNestingLimit) return false;
    ++p_;
    skipSpace();
    if (next(']')) return true;
    do {
        if (entriesOf != nullptr && *count == METRIC_REQUEST_T::kEntriesAhead) {
            entriesOf->moreEntries = reinterpret_cast<const char*>(p_ - 1);
        }
        skipSpace();
        if (!element(depth + 1, *count, entriesOf)) return false;
        ++*count;
        skipSpace();
    } while (next(','));
    return next(']');
}

JSON_VALUE_T* Reader::match(const JSON_VALUE_T& key, const Capture* capture) const {
    if (capture == nullptr) return nullptr;
    char text[kKeyBufSize];
    const char* name = key.at + 1;
    size_t len = key.count;
    if (key.escaped) {
        len = json_string_copy(key, text, sizeof text);
        name = text;
    }
    if (len >= kKeyBufSize) return nullptr;
    for (size_t i = 0; i < capture->count; ++i) {
        if (capture->fields[i]->kind == JsonKind::kAbsent &&
            _sameLetters(name, capture->names[i], len)) {
            return capture->fields[i];
        }
    }
    return nullptr;
}

bool Reader::object(int depth, const Capture* capture) {
    if (depth >= kNestingLimit) return false;
    ++p_;
    skipSpace();
    if (next('}')) return true;
    do {
        skipSpace();
        JSON_VALUE_T key;
        key.at = reinterpret_cast<const char*>(p_);
        if (*p_ != '"' || !string(&key)) return false;
        skipSpace();
        if (!next(':')) return false;
        skipSpace();
        JSON_VALUE_T* const field = match(key, capture);
        const bool isParams = field != nullptr && capture->request != nullptr &&
                              field == &capture->request->params;
        if (!value(depth + 1, field, nullptr, isParams ? capture->request : nullptr)) return false;
        skipSpace();
    } while (next(','));
    return next('}');
}

bool Reader::value(int depth, JSON_VALUE_T* field, const Capture* capture,
                   METRIC_REQUEST_T* entriesOf) {
    JSON_VALUE_T found;
    found.at = reinterpret_cast<const char*>(p_);
    bool ok = false;
    switch (*p_) {
        case 'n': ok = literal("null", 4); break;
        case 'f': ok = literal("false", 5); break;
        case 't': ok = literal("true", 4); break;
        case '"': ok = string(&found); break;
        case '[':
            found.kind = JsonKind::kArray;
            ok = array(depth, &found.count, entriesOf);
            break;
        case '{':
            found.kind = JsonKind::kObject;
            ok = object(depth, capture);
            break;
        default:
            if (*p_ == '-' || (*p_ >= '0' && *p_ <= '9')) {
                found.kind = JsonKind::kNumber;
                ok = number(&found.number);
            }
            break;
    }
    if (found.kind == JsonKind::kAbsent) found.kind = JsonKind::kOther;
    if (ok && field != nullptr) *field = found;
    return ok;
}

}  // namespace

bool read_metric_request(const char* text, METRIC_REQUEST_T* request) {
    // The entries read ahead are reset as they are reached: a short request leaves the rest
    // of the array alone.
    request->id = request->ts = request->moduleName = request->params = JSON_VALUE_T{};
    request->moreEntries = nullptr;
    const auto* begin = reinterpret_cast<const uchar*>(text);
    const uchar* const nul = begin + strlen(text);
    request->end = reinterpret_cast<const char*>(nul);
    if (nul - begin >= 4 && memcmp(begin, "\xEF\xBB\xBF", 3) == 0) begin += 3;
    static constexpr KeyName kNames[] = {_key("id"), _key("ts"), _key("moduleName"),
                                         _key("params")};
    JSON_VALUE_T* const fields[] = {&request->id, &request->ts, &request->moduleName,
                                    &request->params};
    const Capture capture{kNames, fields, 4, request};
    Reader reader(begin, nul);
    reader.skipSpace();
    // Text after the first value is ignored, as cJSON_Parse ignores it.
    return reader.value(0, nullptr, &capture);
}

const METRIC_ENTRY_T* next_metric_entry(const METRIC_REQUEST_T& request,
                                        METRIC_ENTRY_CURSOR_T* cursor) {
    const size_t index = cursor->index;
    if (request.params.kind != JsonKind::kArray || index >= request.params.count) return nullptr;
    ++cursor->index;
    if (index < METRIC_REQUEST_T::kEntriesAhead) return &request.entries[index];
    // Past the entries read ahead: read on from the comma before this element.
    if (cursor->at == nullptr) cursor->at = request.moreEntries;
    Reader reader(reinterpret_cast<const uchar*>(cursor->at), reinterpret_cast<const uchar*>(request.end));
    (void)reader.next(',');
    reader.skipSpace();
    cursor->entry = METRIC_ENTRY_T{};
    JSON_VALUE_T* fields[3];
    const Capture capture = _entryCapture(&cursor->entry, fields);
    // The element sits in the root object's params array: two levels deep.
    (void)reader.value(2, nullptr, &capture);
    reader.skipSpace();
    cursor->at = reinterpret_cast<const char*>(reader.at());
    return &cursor->entry;
}

size_t json_string_copy(const JSON_VALUE_T& value, char* dst, size_t size) {
    size_t len = 0;
    const auto* const first =
        value.kind == JsonKind::kString ? reinterpret_cast<const uchar*>(value.at) + 1 : nullptr;
    if (first != nullptr && !value.escaped) {
        len = value.count;
        if (size != 0) memcpy(dst, first, len < size ? len : size - 1);
    } else if (first != nullptr) {  // (not a string: copies as the empty string)
        (void)_unescape(first, first + value.count, [&](const uchar* bytes, size_t n) {
            for (size_t i = 0; i < n; ++i) {
                if (bytes[i] == '\0') return false;  // cJSON's string ends here
                if (len + 1 < size) dst[len] = static_cast<char>(bytes[i]);
                ++len;
            }
            return true;
        });
    }
    if (size != 0) dst[len < size ? len : size - 1] = '\0';
    return len;
}
