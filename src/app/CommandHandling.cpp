// Applying one decoded command to the manager and answering it.
#include "app/InputLoop.hpp"
#include "manager/ShieldManager.hpp"
#include "protocol/Text.hpp"

namespace sh {

namespace {

// One entry per lower-cased bundle identifier. When two targets share one, the later one in
// the list wins, as if the host had sent them one after the other.
std::unordered_map<std::string, Target> targetTable(const std::vector<Target>& targets) {
    std::unordered_map<std::string, Target> table;
    for (const Target& target : targets) {
        if (!target.bundleId) {
            continue;
        }
        table.insert_or_assign(lowercased(*target.bundleId), target);
    }
    return table;
}

}  // namespace

void ShieldManager::handleCommand(Command command) {
    const std::string& name = command.command;
    if (name == "start" || name == "update") {
        if (command.targets) {
            targetsByBundleId = targetTable(*command.targets);
        }
        endsAt = command.endsAt;
        active = true;
        scheduleDeadline();
        refreshAccessibility(false);
    } else if (name == "permission-status") {
        refreshAccessibility(false);
    } else if (name == "request-permission") {
        refreshAccessibility(command.permissionPrompt.value_or(false));
    } else if (name == "stop") {
        endBlock();
    } else if (name == "shutdown") {
        active = false;
        clearShields();
        holdActivityWhileActive();
        endProcess(desktop_.application());
        return;
    } else {
        emit(errorMessage(texts::unknownCommand));
        return;
    }
    emit(statusPayload("status", command.requestId));
}

}  // namespace sh
