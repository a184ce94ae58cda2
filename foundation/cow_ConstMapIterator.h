#pragma once

#include "foundation/cow_Map.h"

// Iteration over a map in key order. It shares the map's entries, which a
// change to the map then copies away, so iteration is never disturbed.
template <class K, class V>
class cow_ConstMapIterator {
public:
    explicit cow_ConstMapIterator(const cow_Map<K, V>& map) : entries(map.entries) { First(); }

    void First() {
        if (entries) at = entries->begin();
    }
    bool IsDone() const { return !entries || at == entries->end(); }
    void Next() { ++at; }
    const K& Key() const { return at->first; }
    const V& Value() const { return at->second; }

private:
    std::shared_ptr<std::map<K, V>> entries;
    typename std::map<K, V>::const_iterator at;
};
