#include "foundation/omi_AlertListener.h"

#include "foundation/impl/utl_platform.h"

omi_AlertListener::omi_AlertListener() : handle(utl_processId()) {}

unsigned int omi_AlertListener::GetHandle() const { return handle; }

void omi_AlertListener::SetHandle(unsigned int newHandle) { handle = newHandle; }

template <>
omi_AlertListener& omi_Singleton<omi_AlertListener>::Instance() {
    static omi_AlertListener listener;
    return listener;
}
