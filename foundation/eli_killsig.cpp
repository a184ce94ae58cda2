#include "foundation/eli_killsig.h"

#include <atomic>

namespace {
std::atomic<bool> raised{false};
std::atomic<eli_KillHandler> handler{nullptr};
}  // namespace

void eli_setkillsig() {
    raised.store(true);
    if (eli_KillHandler call = handler.load()) call();
}

bool eli_killsigRaised() { return raised.load(); }

void eli_clearkillsig() { raised.store(false); }

void eli_setKillHandler(eli_KillHandler newHandler) { handler.store(newHandler); }
