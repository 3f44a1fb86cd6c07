// The session bus for the Linux desktops that reach their compositor over D-Bus: a GDBus
// connection whose signals, name watches and exported objects dispatch on a thread of its own,
// and synchronous calls from the main thread.
//
// GDBus connections are thread-safe, and a synchronous call waits on a private context, so the
// main thread makes its calls directly, in the order the core issues them. What arrives from
// the bus (signals, calls to an exported object) is handled on the bus thread and handed to
// the main loop with post(). Folding GLib's context into the poll loop instead would mean
// mirroring its changing descriptor set and timeouts in every iteration, for no gain here.
#pragma once

#include <gio/gio.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sh {

struct VariantDeleter {
    void operator()(GVariant* v) const { g_variant_unref(v); }
};
using VariantPtr = std::unique_ptr<GVariant, VariantDeleter>;

class SessionBus {
  public:
    // Connects to the session bus; null when there is none.
    static std::unique_ptr<SessionBus> connect();
    ~SessionBus();
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;

    GDBusConnection* connection() const { return bus_; }
    // This connection's unique name on the bus.
    std::string uniqueName() const;

    // Runs `setup` with the bus thread's context as the thread default, so that what it
    // subscribes, watches or exports dispatches on the bus thread. Before start().
    void onBusThread(const std::function<void()>& setup);
    // Starts the bus thread.
    void start();
    // Sends what is queued on the connection; for the end of the process.
    void flush();

    // A method call and its reply; null when it fails. `timedOut` says whether it ran out of
    // time (a busy peer) rather than finding no one or an error.
    struct Call {
        const char* destination;
        const char* path;
        const char* interface;
        const char* method;
    };
    VariantPtr call(const Call& call, GVariant* parameters, const GVariantType* replyType,
                    int timeoutMs, bool* timedOut = nullptr);
    // The unique name that owns `name` on the bus, as the bus daemon says; absent when none.
    std::optional<std::string> ownerOf(const char* name);

  private:
    explicit SessionBus(GDBusConnection* bus);
    GDBusConnection* bus_ = nullptr;
    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
    std::thread thread_;
};

}  // namespace sh
