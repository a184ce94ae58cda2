#include "foundation/cow_String.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

cow_String::Rep* cow_String::Rep::Allocate(size_t capacity) {
    CheckedLength(capacity, 0, 0, "a string");
    void* memory = std::malloc(sizeof(Rep) + capacity + 1);
    if (!memory) throw std::bad_alloc();
    Rep* rep = new (memory) Rep{{1}, 0, static_cast<int>(capacity)};
    rep->data()[0] = '\0';
    return rep;
}

// A text held once has no other holder that could change the count, so it is
// freed without the atomic decrement.
void cow_String::Rep::Release(Rep* rep) noexcept {
    if (!rep) return;
    if (rep->refs.load(std::memory_order_acquire) == 1 || rep->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        rep->~Rep();
        std::free(rep);
    }
}

size_t cow_String::CheckedLength(size_t length, size_t count, size_t each, const char* what) {
    if (length > maxLength || (each != 0 && count > (maxLength - length) / each))
        throw std::length_error(std::string(what) + " would be longer than " + std::to_string(maxLength) + " bytes");
    return length + count * each;
}

namespace {
int clipped(int start, int count, int length) {
    start = std::clamp(start, 0, length);
    return std::clamp(count, 0, length - start);
}
}  // namespace

cow_String::cow_String(const char* text) : cow_String(std::string_view(text ? text : "")) {}

cow_String::cow_String(const char* text, int length)
    : cow_String(std::string_view(text ? text : "", text ? static_cast<size_t>(std::max(length, 0)) : 0)) {}

cow_String::cow_String(std::string_view text) {
    if (text.empty()) return;
    rep = Rep::Allocate(std::max<size_t>(text.size(), 15));
    std::memcpy(rep->data(), text.data(), text.size());
    SetLength(static_cast<int>(text.size()));
}

cow_String::cow_String(int value) {
    char digits[16];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    append(std::string_view(digits, end - digits));
}

cow_String::cow_String(unsigned int value) {
    char digits[16];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    append(std::string_view(digits, end - digits));
}

cow_String::cow_String(double value) {
    char digits[32];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    append(std::string_view(digits, end - digits));
}

cow_String::cow_String(const cow_String& other) noexcept : rep(other.rep) {
    if (rep) rep->refs.fetch_add(1, std::memory_order_relaxed);
}

cow_String::cow_String(cow_String&& other) noexcept : rep(other.rep) { other.rep = nullptr; }

void cow_String::Drop() noexcept { Rep::Release(rep); }

cow_String& cow_String::operator=(const cow_String& other) noexcept {
    if (other.rep) other.rep->refs.fetch_add(1, std::memory_order_relaxed);
    Rep::Release(rep);
    rep = other.rep;
    return *this;
}

cow_String& cow_String::operator=(cow_String&& other) noexcept {
    if (this != &other) {
        Rep::Release(rep);
        rep = other.rep;
        other.rep = nullptr;
    }
    return *this;
}

cow_String& cow_String::operator=(const char* text) { return *this = cow_String(text); }

int cow_String::refCount() const noexcept { return rep ? rep->refs.load(std::memory_order_relaxed) : 0; }

char* cow_String::Writable(size_t capacity) {
    const bool shared = !rep || rep->refs.load(std::memory_order_acquire) != 1;
    if (!shared && static_cast<size_t>(rep->capacity) >= capacity) return rep->data();
    const size_t doubled = rep ? std::min(2 * static_cast<size_t>(rep->capacity), maxLength) : 0;
    Rep* fresh = Rep::Allocate(std::max({capacity, doubled, size_t{15}}));
    if (rep) {
        std::memcpy(fresh->data(), rep->data(), static_cast<size_t>(rep->length) + 1);
        fresh->length = rep->length;
    }
    Rep::Release(rep);
    rep = fresh;
    return rep->data();
}

cow_String& cow_String::append(const char* text, int length, int start, int count) {
    const int n = clipped(start, count, length);
    if (n == 0) return *this;
    const int old = this->length();
    char* data = Writable(CheckedLength(static_cast<size_t>(old), static_cast<size_t>(n), 1, "a string"));
    std::memcpy(data + old, text + std::clamp(start, 0, length), static_cast<size_t>(n));
    SetLength(old + n);
    return *this;
}

cow_String& cow_String::append(std::string_view text) {
    return append(text.data(), static_cast<int>(CheckedLength(text.size(), 0, 0, "a string")));
}

cow_String& cow_String::append(char c) { return append(&c, 1); }

int cow_String::Find(const char* searched, int from) const {
    const std::string_view whole = view();
    if (from < 0) from = 0;
    if (from > length()) return length();
    const size_t at = whole.find(searched ? searched : "", static_cast<size_t>(from));
    return at == std::string_view::npos ? length() : static_cast<int>(at);
}

cow_String cow_String::Substr(int start, int count) const {
    const int n = clipped(start, count, length());
    return cow_String(text() + std::clamp(start, 0, length()), n);
}

cow_String& cow_String::replace(int position, int count, const char* text, int length, int start, int count2) {
    const int old = this->length();
    position = std::clamp(position, 0, old);
    count = clipped(position, count, old);
    const int inserted = clipped(start, count2, length);
    const char* source = text + std::clamp(start, 0, length);
    cow_String result;
    const size_t total = CheckedLength(static_cast<size_t>(old - count), static_cast<size_t>(inserted), 1, "a string");
    result.reserve(static_cast<int>(total));
    result.append(this->text(), position);
    result.append(source, inserted);
    result.append(this->text() + position + count, old - position - count);
    return *this = std::move(result);
}

void cow_String::reserve(int capacity) {
    if (capacity > length()) Writable(static_cast<size_t>(capacity));
}

void cow_String::Delete() noexcept {
    Rep::Release(rep);
    rep = nullptr;
}
