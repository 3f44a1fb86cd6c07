// The session bus connection and its thread.
#include "platform/linux/SessionBus.hpp"

namespace sh {

namespace {

// The bus daemon itself answers at once, whatever the other peers are doing.
constexpr int busTimeoutMs = 1000;

}  // namespace

std::unique_ptr<SessionBus> SessionBus::connect() {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (bus == nullptr) {
        g_clear_error(&error);
        return nullptr;
    }
    // The process ends through the main loop; losing the bus must not end it through GDBus.
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    return std::unique_ptr<SessionBus>(new SessionBus(bus));
}

SessionBus::SessionBus(GDBusConnection* bus) : bus_(bus), context_(g_main_context_new()) {}

SessionBus::~SessionBus() {
    if (loop_ != nullptr) {
        g_main_loop_quit(loop_);
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    if (loop_ != nullptr) {
        g_main_loop_unref(loop_);
    }
    g_main_context_unref(context_);
    g_object_unref(bus_);
}

std::string SessionBus::uniqueName() const {
    const char* name = g_dbus_connection_get_unique_name(bus_);
    return name != nullptr ? name : "";
}

void SessionBus::onBusThread(const std::function<void()>& setup) {
    g_main_context_push_thread_default(context_);
    setup();
    g_main_context_pop_thread_default(context_);
}

void SessionBus::start() {
    loop_ = g_main_loop_new(context_, FALSE);
    thread_ = std::thread([this] {
        g_main_context_push_thread_default(context_);
        g_main_loop_run(loop_);
        g_main_context_pop_thread_default(context_);
    });
}

void SessionBus::flush() {
    g_dbus_connection_flush_sync(bus_, nullptr, nullptr);
}

VariantPtr SessionBus::call(const Call& call, GVariant* parameters, const GVariantType* replyType,
                            int timeoutMs, bool* timedOut) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        bus_, call.destination, call.path, call.interface, call.method, parameters, replyType,
        G_DBUS_CALL_FLAGS_NO_AUTO_START, timeoutMs, nullptr, &error);
    if (timedOut != nullptr) {
        *timedOut = error != nullptr && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT);
    }
    if (error != nullptr) {
        g_error_free(error);
        return nullptr;
    }
    return VariantPtr(reply);
}

std::optional<std::string> SessionBus::ownerOf(const char* name) {
    VariantPtr reply = call(
        {"org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner"},
        g_variant_new("(s)", name), G_VARIANT_TYPE("(s)"), busTimeoutMs);
    if (!reply) {
        return std::nullopt;
    }
    const char* owner = nullptr;
    g_variant_get(reply.get(), "(&s)", &owner);
    return std::string(owner);
}

}  // namespace sh
