// Wayland windows of the helper's own: xdg-shell toplevels with shared-memory buffers painted
// by cairo, and the seat's pointer and keyboard. Events are read on the main loop; what a
// window tells its owner is posted to the loop, so an owner may destroy the window from a
// handler while the Wayland library is not dispatching.
#include "platform/linux/WaylandWindows.hpp"

#include <cairo.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>

#include "platform/linux/CairoDrawing.hpp"
#include "xdg-shell-client-protocol.h"

namespace sh {

namespace {

// The button code of the primary button (linux/input-event-codes.h).
constexpr uint32_t buttonLeft = 0x110;

// One frame's pixels, kept until the compositor releases them.
struct Buffer {
    wl_buffer* buffer = nullptr;
    void* data = nullptr;
    size_t size = 0;
};

void releaseBuffer(void* data, wl_buffer* buffer) {
    auto* frame = static_cast<Buffer*>(data);
    wl_buffer_destroy(buffer);
    munmap(frame->data, frame->size);
    delete frame;
}

const wl_buffer_listener bufferListener = {.release = releaseBuffer};

}  // namespace

struct WaylandWindow::State {
    std::weak_ptr<WaylandConnection::State> connection;
    WaylandConnection::Handlers handlers;
    wl_surface* surface = nullptr;
    xdg_surface* xdgSurface = nullptr;
    xdg_toplevel* toplevel = nullptr;
    int width = 0;
    int height = 0;
    // The size of the last toplevel configure, applied with the surface configure after it.
    int pendingWidth = 0;
    int pendingHeight = 0;
    bool configured = false;
    bool keyboard = false;

    void render();
};

struct WaylandConnection::State {
    PollLoop& loop;
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_compositor* compositor = nullptr;
    wl_shm* shm = nullptr;
    xdg_wm_base* wmBase = nullptr;
    wl_seat* seat = nullptr;
    wl_pointer* pointer = nullptr;
    wl_keyboard* keyboard = nullptr;
    bool connected = true;
    int fd = -1;
    std::map<wl_surface*, std::weak_ptr<WaylandWindow::State>> windows;
    wl_surface* pointerSurface = nullptr;
    wl_surface* keyboardSurface = nullptr;

    explicit State(PollLoop& mainLoop) : loop(mainLoop) {}
    ~State();

    std::shared_ptr<WaylandWindow::State> windowOf(wl_surface* surface) {
        auto it = windows.find(surface);
        return it == windows.end() ? nullptr : it->second.lock();
    }

    // Posts one of a window's handlers to the main loop; it runs unless the window is gone.
    void notify(wl_surface* surface, std::function<void()> WaylandConnection::Handlers::*handler) {
        std::weak_ptr<WaylandWindow::State> weak;
        if (auto window = windowOf(surface)) {
            weak = window;
        } else {
            return;
        }
        loop.post([weak, handler] {
            if (auto window = weak.lock()) {
                if (auto& call = window->handlers.*handler) {
                    call();
                }
            }
        });
    }

    void setKeyboard(wl_surface* surface) {
        if (auto previous = windowOf(keyboardSurface)) {
            previous->keyboard = false;
            notify(keyboardSurface, &WaylandConnection::Handlers::focusChanged);
        }
        keyboardSurface = surface;
        if (auto window = windowOf(surface)) {
            window->keyboard = true;
            notify(surface, &WaylandConnection::Handlers::focusChanged);
        }
    }

    void lost() {
        if (!connected) {
            return;
        }
        connected = false;
        loop.unwatchFd(fd);
    }

    void bindGlobal(uint32_t name, const char* interface, uint32_t version);
    void seatCapabilities(uint32_t capabilities);
};

namespace {

using ConnectionState = WaylandConnection::State;
using WindowState = WaylandWindow::State;

const wl_registry_listener registryListener = {
    .global =
        [](void* data, wl_registry*, uint32_t name, const char* interface, uint32_t version) {
            static_cast<ConnectionState*>(data)->bindGlobal(name, interface, version);
        },
    .global_remove = [](void*, wl_registry*, uint32_t) {},
};

const xdg_wm_base_listener wmBaseListener = {
    .ping = [](void*, xdg_wm_base* base, uint32_t serial) { xdg_wm_base_pong(base, serial); },
};

const wl_seat_listener seatListener = {
    .capabilities =
        [](void* data, wl_seat*, uint32_t capabilities) {
            static_cast<ConnectionState*>(data)->seatCapabilities(capabilities);
        },
    .name = [](void*, wl_seat*, const char*) {},
};

const wl_pointer_listener pointerListener = {
    .enter = [](void* data, wl_pointer*, uint32_t, wl_surface* surface, wl_fixed_t,
                wl_fixed_t) { static_cast<ConnectionState*>(data)->pointerSurface = surface; },
    .leave =
        [](void* data, wl_pointer*, uint32_t, wl_surface* surface) {
            auto* connection = static_cast<ConnectionState*>(data);
            if (connection->pointerSurface == surface) {
                connection->pointerSurface = nullptr;
            }
        },
    .motion = [](void*, wl_pointer*, uint32_t, wl_fixed_t, wl_fixed_t) {},
    .button =
        [](void* data, wl_pointer*, uint32_t, uint32_t, uint32_t button, uint32_t state) {
            auto* connection = static_cast<ConnectionState*>(data);
            if (button == buttonLeft && state == WL_POINTER_BUTTON_STATE_PRESSED) {
                connection->notify(connection->pointerSurface,
                                   &WaylandConnection::Handlers::pressed);
            }
        },
    .axis = [](void*, wl_pointer*, uint32_t, uint32_t, wl_fixed_t) {},
    .frame = [](void*, wl_pointer*) {},
    .axis_source = [](void*, wl_pointer*, uint32_t) {},
    .axis_stop = [](void*, wl_pointer*, uint32_t, uint32_t) {},
    .axis_discrete = [](void*, wl_pointer*, uint32_t, int32_t) {},
    .axis_value120 = [](void*, wl_pointer*, uint32_t, int32_t) {},
};

const wl_keyboard_listener keyboardListener = {
    // The keymap is not needed: any key press counts the same.
    .keymap = [](void*, wl_keyboard*, uint32_t, int32_t fd, uint32_t) { close(fd); },
    .enter = [](void* data, wl_keyboard*, uint32_t, wl_surface* surface,
                wl_array*) { static_cast<ConnectionState*>(data)->setKeyboard(surface); },
    .leave =
        [](void* data, wl_keyboard*, uint32_t, wl_surface* surface) {
            auto* connection = static_cast<ConnectionState*>(data);
            if (connection->keyboardSurface == surface) {
                connection->setKeyboard(nullptr);
            }
        },
    .key =
        [](void* data, wl_keyboard*, uint32_t, uint32_t, uint32_t, uint32_t state) {
            auto* connection = static_cast<ConnectionState*>(data);
            if (state == WL_KEYBOARD_KEY_STATE_PRESSED) {
                connection->notify(connection->keyboardSurface,
                                   &WaylandConnection::Handlers::keyPressed);
            }
        },
    .modifiers = [](void*, wl_keyboard*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {},
    .repeat_info = [](void*, wl_keyboard*, int32_t, int32_t) {},
};

const xdg_surface_listener xdgSurfaceListener = {
    .configure =
        [](void* data, xdg_surface* surface, uint32_t serial) {
            auto* window = static_cast<WindowState*>(data);
            xdg_surface_ack_configure(surface, serial);
            bool resized = false;
            // A size of zero leaves the choice to the window: it keeps the one it has.
            if (window->pendingWidth > 0 && window->pendingHeight > 0 &&
                (window->pendingWidth != window->width ||
                 window->pendingHeight != window->height)) {
                window->width = window->pendingWidth;
                window->height = window->pendingHeight;
                resized = true;
            }
            if (resized || !window->configured) {
                window->configured = true;
                window->render();
            } else {
                // Every configure is answered with a commit, even one that changes nothing.
                wl_surface_commit(window->surface);
            }
        },
};

const xdg_toplevel_listener toplevelListener = {
    .configure =
        [](void* data, xdg_toplevel*, int32_t width, int32_t height, wl_array*) {
            auto* window = static_cast<WindowState*>(data);
            window->pendingWidth = width;
            window->pendingHeight = height;
        },
    .close =
        [](void* data, xdg_toplevel*) {
            auto* window = static_cast<WindowState*>(data);
            if (auto connection = window->connection.lock()) {
                connection->notify(window->surface, &WaylandConnection::Handlers::closeRequested);
            }
        },
    .configure_bounds = [](void*, xdg_toplevel*, int32_t, int32_t) {},
    .wm_capabilities = [](void*, xdg_toplevel*, wl_array*) {},
};

}  // namespace

void WaylandConnection::State::bindGlobal(uint32_t name, const char* interface, uint32_t version) {
    std::string kind = interface;
    if (kind == wl_compositor_interface.name) {
        compositor = static_cast<wl_compositor*>(
            wl_registry_bind(registry, name, &wl_compositor_interface, std::min(version, 4u)));
    } else if (kind == wl_shm_interface.name) {
        shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
    } else if (kind == xdg_wm_base_interface.name) {
        wmBase = static_cast<xdg_wm_base*>(
            wl_registry_bind(registry, name, &xdg_wm_base_interface, std::min(version, 2u)));
        xdg_wm_base_add_listener(wmBase, &wmBaseListener, this);
    } else if (kind == wl_seat_interface.name && seat == nullptr) {
        seat = static_cast<wl_seat*>(
            wl_registry_bind(registry, name, &wl_seat_interface, std::min(version, 5u)));
        wl_seat_add_listener(seat, &seatListener, this);
    }
}

void WaylandConnection::State::seatCapabilities(uint32_t capabilities) {
    // A mouse or keyboard can be plugged in and out: each is taken up when the seat has one
    // and let go when it has none, so that the next one is heard.
    bool hasPointer = (capabilities & WL_SEAT_CAPABILITY_POINTER) != 0;
    bool hasKeyboard = (capabilities & WL_SEAT_CAPABILITY_KEYBOARD) != 0;
    if (hasPointer && pointer == nullptr) {
        pointer = wl_seat_get_pointer(seat);
        wl_pointer_add_listener(pointer, &pointerListener, this);
    } else if (!hasPointer && pointer != nullptr) {
        wl_pointer_release(pointer);
        pointer = nullptr;
        pointerSurface = nullptr;
    }
    if (hasKeyboard && keyboard == nullptr) {
        keyboard = wl_seat_get_keyboard(seat);
        wl_keyboard_add_listener(keyboard, &keyboardListener, this);
    } else if (!hasKeyboard && keyboard != nullptr) {
        wl_keyboard_release(keyboard);
        keyboard = nullptr;
        setKeyboard(nullptr);
    }
}

WaylandConnection::State::~State() {
    lost();
    if (keyboard != nullptr) {
        wl_keyboard_destroy(keyboard);
    }
    if (pointer != nullptr) {
        wl_pointer_destroy(pointer);
    }
    if (seat != nullptr) {
        wl_seat_destroy(seat);
    }
    if (wmBase != nullptr) {
        xdg_wm_base_destroy(wmBase);
    }
    if (shm != nullptr) {
        wl_shm_destroy(shm);
    }
    if (compositor != nullptr) {
        wl_compositor_destroy(compositor);
    }
    if (registry != nullptr) {
        wl_registry_destroy(registry);
    }
    if (display != nullptr) {
        wl_display_flush(display);
        wl_display_disconnect(display);
    }
}

void WaylandWindow::State::render() {
    auto connection = this->connection.lock();
    if (!connection || !connection->connected || width <= 0 || height <= 0) {
        return;
    }
    int stride = cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, width);
    size_t size = static_cast<size_t>(stride) * static_cast<size_t>(height);
    int fd = memfd_create("shield-helper-frame", MFD_CLOEXEC);
    if (fd < 0) {
        return;
    }
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
        close(fd);
        return;
    }
    void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) {
        close(fd);
        return;
    }
    wl_shm_pool* pool = wl_shm_create_pool(connection->shm, fd, static_cast<int32_t>(size));
    auto* frame = new Buffer{
        wl_shm_pool_create_buffer(pool, 0, width, height, stride, WL_SHM_FORMAT_ARGB8888), data,
        size};
    wl_shm_pool_destroy(pool);
    close(fd);
    wl_buffer_add_listener(frame->buffer, &bufferListener, frame);

    // Cairo's ARGB32 is premultiplied, in native byte order: the compositor's ARGB8888.
    cairo_surface_t* surface = cairo_image_surface_create_for_data(
        static_cast<unsigned char*>(data), CAIRO_FORMAT_ARGB32, width, height, stride);
    cairo_t* cairo = cairo_create(surface);
    Drawing picture = handlers.draw ? handlers.draw(width, height) : Drawing{};
    renderDrawing(cairo, picture, height, true);
    cairo_destroy(cairo);
    cairo_surface_flush(surface);
    cairo_surface_destroy(surface);

    wl_surface_attach(this->surface, frame->buffer, 0, 0);
    wl_surface_damage(this->surface, 0, 0, INT32_MAX, INT32_MAX);
    wl_surface_commit(this->surface);
}

std::unique_ptr<WaylandConnection> WaylandConnection::connect(PollLoop& loop) {
    const char* name = std::getenv("WAYLAND_DISPLAY");
    if (name == nullptr || *name == '\0') {
        return nullptr;
    }
    auto state = std::make_unique<State>(loop);
    state->display = wl_display_connect(nullptr);
    if (state->display == nullptr) {
        return nullptr;
    }
    state->registry = wl_display_get_registry(state->display);
    wl_registry_add_listener(state->registry, &registryListener, state.get());
    // The first round trip lists the globals, the second the seat's capabilities.
    if (wl_display_roundtrip(state->display) < 0 || wl_display_roundtrip(state->display) < 0 ||
        state->compositor == nullptr || state->shm == nullptr || state->wmBase == nullptr) {
        return nullptr;
    }
    State* raw = state.get();
    state->fd = wl_display_get_fd(state->display);
    loop.watchFd(state->fd, [raw] {
        if (raw->connected && wl_display_dispatch(raw->display) < 0) {
            raw->lost();
        }
    });
    loop.addPrepareHook([raw] {
        if (!raw->connected) {
            return;
        }
        if (wl_display_dispatch_pending(raw->display) < 0 ||
            (wl_display_flush(raw->display) < 0 && errno != EAGAIN)) {
            raw->lost();
        }
    });
    loop.addExitHook([raw] {
        if (raw->connected) {
            wl_display_flush(raw->display);
        }
    });
    return std::unique_ptr<WaylandConnection>(new WaylandConnection(std::move(state)));
}

WaylandConnection::WaylandConnection(std::unique_ptr<State> state) : state_(std::move(state)) {}

WaylandConnection::~WaylandConnection() = default;

bool WaylandConnection::isConnected() const {
    return state_->connected;
}

std::unique_ptr<WaylandWindow> WaylandConnection::createWindow(const std::string& title,
                                                               const std::string& appId, int width,
                                                               int height, Handlers handlers) {
    auto window = std::make_shared<WaylandWindow::State>();
    window->connection = state_;
    window->handlers = std::move(handlers);
    window->width = std::max(width, 1);
    window->height = std::max(height, 1);
    window->surface = wl_compositor_create_surface(state_->compositor);
    window->xdgSurface = xdg_wm_base_get_xdg_surface(state_->wmBase, window->surface);
    xdg_surface_add_listener(window->xdgSurface, &xdgSurfaceListener, window.get());
    window->toplevel = xdg_surface_get_toplevel(window->xdgSurface);
    xdg_toplevel_add_listener(window->toplevel, &toplevelListener, window.get());
    xdg_toplevel_set_title(window->toplevel, title.c_str());
    xdg_toplevel_set_app_id(window->toplevel, appId.c_str());
    // The first commit carries no buffer; the compositor answers it with the first configure.
    wl_surface_commit(window->surface);
    state_->windows[window->surface] = window;
    return std::make_unique<WaylandWindow>(window);
}

WaylandWindow::WaylandWindow(std::shared_ptr<State> state) : state_(std::move(state)) {}

WaylandWindow::~WaylandWindow() {
    auto connection = state_->connection.lock();
    if (connection) {
        if (connection->keyboardSurface == state_->surface) {
            connection->keyboardSurface = nullptr;
        }
        if (connection->pointerSurface == state_->surface) {
            connection->pointerSurface = nullptr;
        }
        connection->windows.erase(state_->surface);
    }
    // Once the connection is gone, so are the display and every object on it.
    if (!connection) {
        return;
    }
    xdg_toplevel_destroy(state_->toplevel);
    xdg_surface_destroy(state_->xdgSurface);
    wl_surface_destroy(state_->surface);
    if (connection->connected) {
        wl_display_flush(connection->display);
    }
}

void WaylandWindow::redraw() {
    if (state_->configured) {
        state_->render();
    }
}

int WaylandWindow::width() const {
    return state_->width;
}

int WaylandWindow::height() const {
    return state_->height;
}

bool WaylandWindow::hasKeyboard() const {
    return state_->keyboard;
}

}  // namespace sh
