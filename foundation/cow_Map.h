#pragma once

#include <map>
#include <memory>

#include "foundation/ipm_export.h"

template <class K, class V>
class cow_ConstMapIterator;

// Ordered map whose copies share their entries until one side changes.
template <class K, class V>
class IPM_EXPORT cow_Map {
public:
    // True when inserted; an existing key keeps its value.
    bool Insert(const K& key, const V& value) { return Writable().emplace(key, value).second; }

    bool IsMember(const K& key) const { return entries && entries->count(key) != 0; }

    // Defined for members only.
    const V& ConstGet(const K& key) const { return entries->at(key); }

    int Count() const { return entries ? static_cast<int>(entries->size()) : 0; }

private:
    friend class cow_ConstMapIterator<K, V>;

    std::map<K, V>& Writable() {
        if (!entries)
            entries = std::make_shared<std::map<K, V>>();
        else if (entries.use_count() > 1)
            entries = std::make_shared<std::map<K, V>>(*entries);
        return *entries;
    }

    std::shared_ptr<std::map<K, V>> entries;
};
