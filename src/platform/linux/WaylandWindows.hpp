// Top-level Wayland windows of the helper's own, painted from a portable `Drawing` into shared
// memory, that report the pointer presses, key presses and close requests they receive. The
// compositor (or a script in it) decides where they go; a window only draws at the size it is
// given.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/Drawing.hpp"
#include "platform/linux/PollLoop.hpp"

namespace sh {

class WaylandWindow;

class WaylandConnection {
  public:
    // What a window tells its owner, on the main thread.
    struct Handlers {
        // The picture for a size, whenever the window needs a frame.
        std::function<Drawing(int width, int height)> draw;
        // A primary-button press on the window.
        std::function<void()> pressed;
        // A key press while the window has the keyboard.
        std::function<void()> keyPressed;
        // The compositor asked the window to close (the person closed it); it stays.
        std::function<void()> closeRequested;
        // The window gained or lost the keyboard.
        std::function<void()> focusChanged;
    };

    // Connects to the compositor that $WAYLAND_DISPLAY names and serves its events on `loop`;
    // null when there is none, or when it offers no shared memory or no xdg-shell.
    static std::unique_ptr<WaylandConnection> connect(PollLoop& loop);
    ~WaylandConnection();
    WaylandConnection(const WaylandConnection&) = delete;
    WaylandConnection& operator=(const WaylandConnection&) = delete;

    // A new window with this title and application id, first drawn at `width` x `height`
    // until the compositor gives it a size of its own.
    std::unique_ptr<WaylandWindow> createWindow(const std::string& title, const std::string& appId,
                                                int width, int height, Handlers handlers);
    // False once the compositor has closed the connection.
    bool isConnected() const;

    struct State;

  private:
    explicit WaylandConnection(std::unique_ptr<State> state);
    std::shared_ptr<State> state_;
};

class WaylandWindow {
  public:
    ~WaylandWindow();
    WaylandWindow(const WaylandWindow&) = delete;
    WaylandWindow& operator=(const WaylandWindow&) = delete;

    // Draws a new frame at the current size (the picture changed).
    void redraw();
    // The size the window has now.
    int width() const;
    int height() const;
    // Whether the window has the keyboard.
    bool hasKeyboard() const;

    struct State;
    explicit WaylandWindow(std::shared_ptr<State> state);

  private:
    std::shared_ptr<State> state_;
};

}  // namespace sh
