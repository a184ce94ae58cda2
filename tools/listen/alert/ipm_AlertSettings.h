#pragma once

#include <string>
#include <vector>

#include "tools/listen/alert/ipm_AlertRule.h"

// The listener's alert rules and where their alerts go, from --alerts FILE
// (docs/alerts.md) and the alert options together.
struct ipm_AlertSettings {
    std::vector<ipm_AlertRule> rules;
    // Web addresses that get each alert as a JSON post.
    std::vector<std::string> webhooks;
    // Jabber accounts (USER@SERVER) that get each alert as a chat message.
    std::vector<std::string> accounts;
    // Multi-user rooms (ROOM@SERVICE/NICK) the listener joins to post alerts.
    std::vector<std::string> rooms;

    // Adds the rules and destinations of a rules file. Throws
    // std::invalid_argument naming the file and what is wrong in it.
    void AddFile(const std::string& path);
    // True when alerts go anywhere beyond the page.
    bool Delivers() const { return !webhooks.empty() || !accounts.empty() || !rooms.empty(); }
    // With destinations but no rules: the rules that need a look.
    void DefaultRulesWhenNone();
};
