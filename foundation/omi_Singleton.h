#pragma once

// Process-wide objects of the foundation. Each type that has one defines
// Instance() for itself, in one place, so every user of the library sees the
// same object.
template <class T>
class omi_Singleton {
public:
    static T& Instance();
};
