#pragma once

#include <atomic>

// The record of a global singleton: null until the object records itself.
template <class T>
class thr_GlobalSingletonBase {
public:
    static T* Instance() { return recorded().load(std::memory_order_acquire); }
    static void Record(T* object) { recorded().store(object, std::memory_order_release); }

private:
    // Defined once, beside T, so the library and its users share one record.
    static std::atomic<T*>& recorded();
};
