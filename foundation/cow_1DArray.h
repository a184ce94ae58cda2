#pragma once

#include <memory>
#include <vector>

#include "foundation/ipm_export.h"

// Growable array whose copies share their elements until one side changes.
template <class T>
class IPM_EXPORT cow_1DArray {
public:
    cow_1DArray() = default;
    explicit cow_1DArray(int capacity) { Grow(capacity); }

    int Size() const { return items ? static_cast<int>(items->size()) : 0; }

    // A modifiable element; the array grows so that `index` is valid.
    T& Get(int index) {
        std::vector<T>& elements = Writable();
        if (index >= static_cast<int>(elements.size())) elements.resize(static_cast<size_t>(index) + 1);
        return elements[static_cast<size_t>(index)];
    }

    // A read-only element that exists.
    const T& PartialArrayConstGet(int index) const { return (*items)[static_cast<size_t>(index)]; }

    // A new element at the front; the others move up by one.
    T& GetHead() {
        std::vector<T>& elements = Writable();
        return *elements.emplace(elements.begin());
    }

    // Room for `count` elements.
    void Grow(int count) { Writable().reserve(static_cast<size_t>(count)); }

    void SetFromArray(const T* source, int count) { Writable().assign(source, source + count); }

    // The elements as one contiguous run, and their number.
    const T* GetCArray(int& count) const {
        count = Size();
        return items ? items->data() : nullptr;
    }

    // Keeps the first `count` elements (default-filled when growing).
    void Resize(int count) {
        if (count == Size()) return;
        Writable().resize(static_cast<size_t>(count));
    }

    int SharedCount() const { return static_cast<int>(items.use_count()); }

private:
    std::vector<T>& Writable() {
        if (!items)
            items = std::make_shared<std::vector<T>>();
        else if (items.use_count() > 1)
            items = std::make_shared<std::vector<T>>(*items);
        return *items;
    }

    std::shared_ptr<std::vector<T>> items;
};
