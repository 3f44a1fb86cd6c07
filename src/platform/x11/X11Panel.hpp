// A shield on X. With a window manager it is a managed, undecorated window that is transient
// for the covered client, so that the window manager itself keeps it directly above that
// window; without one, or where the window manager does not leave it in place, it is a window
// of our own (override-redirect) restacked right above the covered window.
//
// The core's calls only record what the shield should be; `pushChanges`, once per turn of
// the loop, writes the difference to the server. The parts: `ShieldWindow` (the window, its
// hints and its picture), `ShieldStacking` (its place in the stacking order), `ShieldFocus`
// (the keyboard), and `ShieldPolicy` (every limit). This class holds the core's orders, what
// the server was seen to show, and the policing of what the window manager does to the
// shield (its geometry, its states, hiding it).
#pragma once

#include <xcb/xcb.h>

#include <memory>
#include <optional>

#include "platform/Panel.hpp"
#include "platform/x11/PanelHost.hpp"
#include "platform/x11/ShieldFocus.hpp"
#include "platform/x11/ShieldStacking.hpp"
#include "platform/x11/ShieldWindow.hpp"

namespace sh::x11 {

class X11Panel final : public Panel, public std::enable_shared_from_this<X11Panel> {
  public:
    // `alive` expires when the host goes away; the panel then does nothing.
    X11Panel(PanelHost& host, std::weak_ptr<void> alive, const PanelConfiguration& configuration);
    ~X11Panel() override;

    void setContentView(std::shared_ptr<PanelContent> view,
                        const ContentViewOptions& options) override;
    void setFrame(const Rect& frame, bool display) override;
    void orderWindow(WindowOrderingMode mode, int64_t relativeTo) override;
    void makeKeyWindow() override;
    bool isKeyWindow() override;
    bool isInPlace() override;
    void close() override;

    xcb_window_t window() const { return window_.id(); }
    bool managed() const { return window_.managed(); }

    // Writes to the server what the core asked for since the last push; false when nothing
    // was asked.
    bool pushChanges();
    // An event for this panel's window.
    void handleEvent(const xcb_generic_event_t* event);
    // A direct child of the root was mapped, unmapped or configured (an event the root
    // received): the panel's own top-level, its window manager's frame, is followed this way.
    void topLevelEvent(const xcb_generic_event_t* event);
    // Paints the view if something asked for it since the last paint.
    void redrawIfNeeded();
    // The window manager came or went: the panel changes kind and takes its place again.
    void windowManagerChanged(bool present);
    // Windows were restacked: a panel that is no longer directly above its window in the
    // server's order (placed on top when mapped, raised alone by a click, or something put
    // between) is put back right above it, within a bound.
    void keepInPlace(bool fromPass = false);
    // Whether the panel is directly above its window in the server's order, measured again
    // without correcting anything; absent when there is nothing to compare.
    std::optional<bool> measureStacking();
    // Announces to the view when what `isInPlace` would answer differs from its last answer.
    void reportPlacementIfChanged();
    // The desktop's connection to the server was lost, and with it the panel's window: the
    // panel lets go of everything bound to that connection without a request.
    void connectionLost();
    // The desktop connected again: the panel makes its window anew on the new connection, of
    // the kind the window manager now present calls for, and shows it where the core last
    // ordered it.
    void reconnected();

  private:
    using EventHandler = void (X11Panel::*)(const xcb_generic_event_t*);
    // The handler for each core event type a shield's window receives.
    static EventHandler handlerFor(uint8_t type);
    void onExpose(const xcb_generic_event_t* event);
    void onConfigure(const xcb_generic_event_t* event);
    void onButtonPress(const xcb_generic_event_t* event);
    void onKeyPress(const xcb_generic_event_t* event);
    void onMap(const xcb_generic_event_t* event);
    void onUnmap(const xcb_generic_event_t* event);
    void onReparent(const xcb_generic_event_t* event);
    void onProperty(const xcb_generic_event_t* event);
    void onFocusOut(const xcb_generic_event_t* event);
    void onClientMessage(const xcb_generic_event_t* event);

    bool usable() const { return !closed_ && !alive_.expired(); }
    // Calls the view on the main loop's next turn, unless the panel is closed by then.
    void tellView(void (PanelContent::*call)());
    void createWindow(bool managed);
    void pushGeometry();
    void pushOrder();
    void becomeKey();
    void takeFocus();
    // What a stacking check left to the panel: falling back, or a later look.
    void followUp(const StackingFollowUp& followUp);
    // A managed shield that the window manager does not leave in place becomes a window of
    // our own (override-redirect), restacked by the helper.
    void fallBack();
    void changeKind(bool managed);
    // Makes the panel's window anew, of the given kind, and orders it where the core last did
    // if it was shown; the old window is the caller's.
    void recreateWindow(bool managed, bool wasShown, bool wantedKey);

    // Policing what the window manager does to a managed shield.
    void findOwnTopLevel();
    void setOwnTopLevel(xcb_window_t topLevel);
    // Reads where the panel's top-level is and whether it is shown, after the window manager
    // framed the panel anew (or left it unframed).
    void readOwnTopLevel();
    bool decorated();
    void checkState();
    void checkHidden();
    // After a map request of a managed shield: looked at again a moment later, and asked
    // again or given up on when it is still not shown.
    void awaitMap();
    void checkMapped();
    void keepGeometry(const WindowGeometry& shown);
    // Whether a window manager moved the shield where we did not ask while a pointer button
    // is down: the user drags it, and it falls back (true).
    bool fellBackFromDrag(int32_t x, int32_t y);
    // Whether the covered window took on the above state a correction of ours toggled on the
    // shield (the panel may be gone by then).
    static void checkAboveSpread(PanelHost& host, const std::shared_ptr<X11Panel>& panel,
                                 xcb_window_t client);

    // Shown, and at the geometry asked for; and, for `isInPlace`, directly above its window.
    bool shownAsAsked() const;
    bool placementConfirmed() const;
    Drawing drawView(uint32_t width, uint32_t height) const;
    // The geometry last written to the server: what the window manager's doings are judged
    // against, as a newer one may still wait for the next push.
    WindowGeometry written() const { return window_.placed().value_or(frame_); }

    PanelHost& host_;
    std::weak_ptr<void> alive_;
    PanelConfiguration configuration_;
    std::shared_ptr<PanelContent> view_;
    bool closed_ = false;

    // The core's orders: the geometry in root coordinates, and where the panel is to be
    // shown; and what of them is still to be written.
    WindowGeometry frame_;
    ShieldOrder order_;
    bool geometryPending_ = false;
    bool displayPending_ = false;
    bool orderPending_ = false;
    bool keyPending_ = false;

    ShieldWindow window_{host_};
    ShieldFocus focus_{host_};
    ShieldStacking stacking_{host_, window_, order_};

    // What the server shows: whether the panel's window is viewable, whether its frame is
    // mapped (the panel's own window has `viewable_`), and where its top-level is in root
    // coordinates.
    bool viewable_ = false;
    bool frameViewable_ = false;
    // Whether the frame was last seen smaller than the shield: its decorations are judged
    // once the window manager has sized it.
    bool frameUnsized_ = false;
    std::optional<WindowGeometry> shownGeometry_;
    bool needsRedraw_ = false;

    // Corrections of the window manager's doings: geometry since the shield was last where
    // asked, forbidden states since the window was made, and hidings since the shield was
    // last seen shown.
    int geometryCorrections_ = 0;
    int stateReverts_ = 0;
    int hiddenReverts_ = 0;
    // Map requests left unanswered since the window was made, and whether a check is due.
    int unansweredMaps_ = 0;
    bool mapCheckPending_ = false;

    // The last answer the core had, so that only a change is announced; and whether the
    // panel was announced in place since the last pass.
    bool reportedInPlace_ = false;
    bool announcedInPlace_ = false;
};

}  // namespace sh::x11
