#pragma once

// Process-wide singletons. Each type that has one defines Instance() for
// itself, in one place, so every user of the library sees the same object.
template <class T>
class thr_GlobalSingleton {
public:
    static T& Instance();
};
