// A manager on the simulated desktop, with every emitted message captured.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "manager/ShieldManager.hpp"
#include "platform/sim/SimDesktop.hpp"
#include "protocol/Protocol.hpp"

namespace sh::test {

using nlohmann::json;

class SimFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        setOutputSink([this](std::string_view line) {
            std::lock_guard lock(mutex);
            lines.emplace_back(line);
            if (onLine) {
                onLine(json::parse(line));
            }
        });
        managerReference().reset();
        manager = ShieldManager::create(desktop);
    }

    void TearDown() override {
        managerReference().reset();
        manager.reset();
        setOutputSink(nullptr);
    }

    // Every message written so far, parsed.
    std::vector<json> messages() const {
        std::lock_guard lock(mutex);
        std::vector<json> parsed;
        for (const auto& line : lines) {
            parsed.push_back(json::parse(line));
        }
        return parsed;
    }
    std::vector<json> takeMessages() {
        auto parsed = messages();
        std::lock_guard lock(mutex);
        lines.clear();
        return parsed;
    }

    // Decodes and handles one command line, then lets posted work run; returns what was
    // written meanwhile.
    std::vector<json> send(const std::string& line) {
        takeMessages();
        auto command = decodeCommand(line);
        EXPECT_TRUE(command.has_value()) << line;
        if (command) {
            manager->handleCommand(*command);
        }
        desktop.loop.runPosted();
        return takeMessages();
    }

    // Scripting: one running application and its windows.
    void runApp(int32_t pid, const std::string& bundleId) {
        desktop.workspaceState.applications.push_back({bundleId, pid});
    }
    void setWindows(std::vector<WindowInfoRecord> records) { desktop.windowList = records; }
    static WindowInfoRecord window(int64_t number, int32_t pid, Rect bounds = {100, 50, 800, 600}) {
        return sim::SimDesktop::window(number, pid, bounds);
    }
    void startBlock(const std::string& extra = "") {
        send(
            R"({"command":"start","targets":[{"id":"t1","name":"Mail","bundleId":"com.apple.Mail"}])" +
            extra + "}");
    }
    // One reconciliation pass; returns what it wrote.
    std::vector<json> pass() {
        takeMessages();
        manager->reconcile();
        return takeMessages();
    }
    // The simulated panel of the shield over a window.
    std::shared_ptr<sim::SimPanel> panelOf(int64_t number) {
        return std::static_pointer_cast<sim::SimPanel>(manager->shields.at(number)->panel);
    }
    int64_t nowMs() const { return static_cast<int64_t>(desktop.loop.now() * 1000); }

    static std::vector<json> ofType(const std::vector<json>& all, const std::string& type) {
        std::vector<json> matching;
        for (const auto& message : all) {
            if (message["type"] == type) {
                matching.push_back(message);
            }
        }
        return matching;
    }

    sim::SimDesktop desktop;
    std::shared_ptr<ShieldManager> manager;
    mutable std::mutex mutex;
    std::vector<std::string> lines;
    std::function<void(const json&)> onLine;
};

}  // namespace sh::test
