#pragma once

#include "foundation/cow_1DArray.h"
#include "foundation/ipm_export.h"

// A count followed by a copy-on-write array: the first `count` elements are
// the list's contents.
template <class T>
class IPM_EXPORT cow_1DArrayList {
public:
    cow_1DArrayList() = default;
    explicit cow_1DArrayList(int capacity) : array(capacity) {}

    int Count() const { return count; }
    bool IsEmpty() const { return count == 0; }

    T& Get(int index) { return array.Get(index); }
    const T& PartialArrayConstGet(int index) const { return array.PartialArrayConstGet(index); }
    const T& operator[](int index) const { return PartialArrayConstGet(index); }

    void Append(const T& element) {
        array.Get(count) = element;
        ++count;
    }

    void Append(const cow_1DArrayList& other) {
        for (int i = 0; i < other.count; ++i) Append(other.PartialArrayConstGet(i));
    }

    void Insert(int index, const T& element) {
        array.Resize(count);
        array.Get(count);
        for (int i = count; i > index; --i) array.Get(i) = array.PartialArrayConstGet(i - 1);
        array.Get(index) = element;
        ++count;
    }

    // Removes and returns the last element.
    T Pop() {
        T last = array.PartialArrayConstGet(count - 1);
        --count;
        array.Resize(count);
        return last;
    }

    void ClearAll() {
        count = 0;
        array = cow_1DArray<T>();
    }

    const cow_1DArray<T>& Array() const { return array; }

    const T* begin() const {
        int size = 0;
        return array.GetCArray(size);
    }
    const T* end() const { return begin() + count; }

private:
    int count = 0;
    cow_1DArray<T> array;
};
