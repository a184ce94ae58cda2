#pragma once

#include "foundation/cow_1DArray.h"
#include "foundation/cow_1DArrayList.h"

// Iteration over an array (or a list's contents) in index order. The iterator
// holds its own copy, so changes to the source do not disturb it.
template <class T>
class cow_1DArrayIter {
public:
    explicit cow_1DArrayIter(const cow_1DArray<T>& array) : array(array), count(array.Size()) {}
    explicit cow_1DArrayIter(const cow_1DArrayList<T>& list) : array(list.Array()), count(list.Count()) {}

    void First() { index = 0; }
    bool IsDone() const { return index >= count; }
    void Next() { ++index; }
    const T& Current() const { return array.PartialArrayConstGet(index); }

private:
    cow_1DArray<T> array;
    int count;
    int index = 0;
};
