#pragma once

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

#include "foundation/ipm_export.h"

// Copy-on-write string: copies share one text through a thread-safe reference
// count; the text is copied only when a shared string is changed. A default
// string holds no storage and reads as the empty text.
class IPM_EXPORT cow_String {
public:
    cow_String() noexcept = default;
    cow_String(const char* text);
    cow_String(const char* text, int length);
    explicit cow_String(std::string_view text);
    explicit cow_String(int value);
    explicit cow_String(unsigned int value);
    // Shortest text that reads back to the same double.
    explicit cow_String(double value);
    // A string written in place: `write` gets room for `capacity` characters
    // and returns the end of what it wrote, so a text built piece by piece is
    // copied once. Throws std::length_error past maxLength.
    template <class Write>
    static cow_String Written(size_t capacity, Write write);

    // The longest text a string holds.
    static constexpr size_t maxLength = INT_MAX;
    // `length` + `count` * `each`, for sizes that come from a caller's input:
    // throws std::length_error, naming `what`, when that exceeds maxLength.
    static size_t CheckedLength(size_t length, size_t count, size_t each, const char* what);
    cow_String(const cow_String& other) noexcept;
    cow_String(cow_String&& other) noexcept;
    // Inline: most strings a message makes in passing stay empty.
    ~cow_String() {
        if (rep) Drop();
    }

    cow_String& operator=(const cow_String& other) noexcept;
    cow_String& operator=(cow_String&& other) noexcept;
    cow_String& operator=(const char* text);

    int length() const noexcept { return rep ? rep->length : 0; }
    bool isEmpty() const noexcept { return length() == 0; }
    // Never null: the empty text when the string holds no storage.
    const char* text() const noexcept { return rep ? rep->data() : ""; }
    std::string_view view() const noexcept { return {text(), static_cast<size_t>(length())}; }
    // Number of strings sharing this text (0 without storage).
    int refCount() const noexcept;

    // Appends `count` characters of `text` (of `length` characters) from `start`,
    // clipped to the text's end.
    cow_String& append(const char* text, int length, int start = 0, int count = INT_MAX);
    cow_String& append(std::string_view text);
    cow_String& append(char c);
    cow_String& operator+=(std::string_view text) { return append(text); }
    cow_String& operator+=(const cow_String& text) { return append(text.view()); }
    cow_String& operator+=(char c) { return append(c); }

    // Index of the first occurrence at or after `from`; length() when absent.
    int Find(const char* searched, int from = 0) const;
    bool Contains(const char* searched) const { return Find(searched) < length(); }
    // Up to `count` characters from `start`, clipped to the end.
    cow_String Substr(int start, int count) const;
    // Replaces `count` characters at `position` by `count2` characters of
    // `text` (of `length` characters) from `start`.
    cow_String& replace(int position, int count, const char* text, int length, int start = 0,
                        int count2 = INT_MAX);
    char operator[](int index) const { return text()[index]; }

    // Makes room for `capacity` characters without changing the text.
    void reserve(int capacity);
    // Drops this string's share of the text; the string becomes empty.
    void Delete() noexcept;

    friend bool operator==(const cow_String& a, const cow_String& b) noexcept { return a.view() == b.view(); }
    friend bool operator==(const cow_String& a, const char* b) noexcept { return a.view() == std::string_view(b); }
    friend bool operator<(const cow_String& a, const cow_String& b) noexcept { return a.view() < b.view(); }

private:
    // The shared text: counts, then the characters and a terminating NUL.
    // Visible here only so that the accessors above are inline.
    struct Rep {
        std::atomic<int> refs;
        int length;
        int capacity;

        char* data() noexcept { return reinterpret_cast<char*>(this + 1); }
        static Rep* Allocate(size_t capacity);
        static void Release(Rep* rep) noexcept;
    };

    void Drop() noexcept;
    char* Writable(size_t capacity);
    void SetLength(int newLength) noexcept {
        rep->length = newLength;
        rep->data()[newLength] = '\0';
    }

    Rep* rep = nullptr;
};

template <class Write>
cow_String cow_String::Written(size_t capacity, Write write) {
    cow_String result;
    result.rep = Rep::Allocate(capacity);
    const char* end = write(result.rep->data());
    const size_t written = static_cast<size_t>(end - result.rep->data());
    // A writer that outran its room has already broken the heap.
    if (written > capacity) std::abort();
    result.SetLength(static_cast<int>(written));
    return result;
}

// The type the translation facility and exception reports return.
using atr_String = cow_String;
