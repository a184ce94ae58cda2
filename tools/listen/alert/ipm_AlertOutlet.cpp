#include "tools/listen/alert/ipm_AlertOutlet.h"

#include <exception>
#include <utility>

#include "tools/listen/ipm_Console.h"

ipm_AlertOutlet::ipm_AlertOutlet(std::string name, Deliver deliver, std::chrono::milliseconds retryDelay)
    : name(std::move(name)), deliver(std::move(deliver)), retryDelay(retryDelay), worker([this] { Run(); }) {}

ipm_AlertOutlet::~ipm_AlertOutlet() {
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    changed.notify_all();
    worker.join();
}

void ipm_AlertOutlet::Post(ipm_Alert alert) {
    {
        std::lock_guard<std::mutex> guard(lock);
        if (queue.size() == maxQueued) {
            queue.pop_front();
            ++dropped;
        }
        queue.push_back(std::move(alert));
    }
    changed.notify_one();
}

void ipm_AlertOutlet::Run() {
    std::unique_lock<std::mutex> guard(lock);
    while (true) {
        changed.wait(guard, [this] { return stopping || !queue.empty(); });
        if (stopping) return;
        const ipm_Alert alert = std::move(queue.front());
        queue.pop_front();
        const std::size_t lost = std::exchange(dropped, 0);
        guard.unlock();
        if (lost) ipm_Console::Report(std::to_string(lost) + " alerts for " + name + " dropped: too many waiting");
        DeliverWithRetries(alert);
        guard.lock();
    }
}

bool ipm_AlertOutlet::DeliverWithRetries(const ipm_Alert& alert) {
    auto delay = retryDelay;
    for (int attempt = 1;; ++attempt) {
        try {
            deliver(alert);
            if (std::exchange(failing, false)) ipm_Console::Report("alerts reach " + name + " again");
            return true;
        } catch (const std::exception& error) {
            if (!std::exchange(failing, true)) ipm_Console::Report("alert to " + name + " failed: " + error.what());
        }
        std::unique_lock<std::mutex> guard(lock);
        if (attempt == attempts || changed.wait_for(guard, delay, [this] { return stopping; })) return false;
        delay *= 2;
    }
}

