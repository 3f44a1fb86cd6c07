// A shield's window on X. With a window manager it is a managed, undecorated window that is
// transient for the covered client, so that the window manager itself keeps it directly above
// that window; without one it is an override-redirect window restacked right above the
// covered window whenever that window or a neighbour moves in the stacking order.
#pragma once

#include <cairo.h>
#include <xcb/xcb.h>

#include <array>
#include <memory>
#include <optional>

#include "platform/MainLoop.hpp"
#include "platform/Panel.hpp"
#include "platform/x11/X11Connection.hpp"
#include "platform/x11/X11Windows.hpp"

namespace sh::x11 {

// What a panel needs from the desktop that made it.
class PanelHost {
  public:
    virtual ~PanelHost() = default;
    virtual Connection& connection() = 0;
    virtual WindowTracker& tracker() = 0;
    // Runs the view's input handling on the main loop, after the event at hand.
    virtual void postToMain(Task task) = 0;
    virtual void postToMainAfter(double seconds, Task task) = 0;
    // The keyboard focus left the shield over `client`.
    virtual void shieldLostFocus(xcb_window_t client) = 0;
    virtual void panelClosed(xcb_window_t window) = 0;
    // The server's time now, for requests that a stale timestamp would have ignored.
    virtual xcb_timestamp_t serverTime() = 0;
    // Whether windows were restacked a moment ago. If so, every panel's stacking is checked
    // again once the window manager's restacking has settled, so that a panel that leaves its
    // check until then is not forgotten when the burst held no further restack.
    virtual bool deferStackingCheck() = 0;
    // Which means of putting a managed shield back above its window was last seen to work:
    // a restack request relative to the window, or a change of state layer.
    virtual bool restackRequestsPreferred() = 0;
    virtual void preferRestackRequests(bool preferred) = 0;
    // Whether a shield was seen not to stay in place as a managed window, so that shields are
    // made as windows of our own from then on, also after the window manager restarts (what
    // it did once it does again).
    virtual bool unmanagedShieldsPreferred() = 0;
    virtual void preferUnmanagedShields() = 0;
    // The panel replaced its window by a new one.
    virtual void panelWindowChanged(xcb_window_t old, xcb_window_t now) = 0;
};

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

    xcb_window_t window() const { return window_; }
    bool isClosed() const { return closed_; }
    bool managed() const { return managed_; }
    // An event for this panel's window.
    void handleEvent(const xcb_generic_event_t* event);
    // Paints the view if something asked for it since the last paint.
    void redrawIfNeeded();
    // The window manager came or went: the panel changes kind and takes its place again.
    void windowManagerChanged(bool present);
    // Windows were restacked: a panel that is no longer directly above its window in the
    // server's order (placed on top when mapped, raised alone by a click, or something put
    // between) is put back right above it, within a bound.
    void keepInPlace(bool fromPass = false);
    // A direct child of the root was mapped, unmapped or configured (an event the root
    // received): the panel's own top-level, its window manager's frame, is followed this way.
    void topLevelEvent(const xcb_generic_event_t* event);
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
    bool usable() const { return !closed_ && !alive_.expired(); }
    // Calls the view on the main loop's next turn, unless the panel is closed by then.
    void tellView(void (PanelContent::*call)());
    void createWindow();
    // A managed shield that the window manager does not leave in place becomes a window of
    // our own (override-redirect), restacked by the helper.
    void fallBack();
    void changeKind(bool managed);
    // Makes the panel's window anew, of the given kind, and orders it where the core last did
    // if it was shown; the old window's surface is already released.
    void recreateWindow(bool managed, bool wasShown, bool wantedKey);
    void releaseSurface();
    // A click or an activation request of ours: the window manager's raise in answer to it
    // starts the count of order corrections again.
    void forgiveCorrections();
    void findOwnTopLevel();
    void returnFocus();
    bool decorated();
    void checkState();
    void checkHidden();
    void keepGeometry(int32_t x, int32_t y, uint32_t width, uint32_t height);
    // Whether a window manager moved the shield where we did not ask while a pointer button
    // is down: the user drags it, and it falls back (true).
    bool fellBackFromDrag(int32_t x, int32_t y);
    static bool hasAboveState(Connection& connection, xcb_window_t client);
    // Whether the covered window took on the above state a correction of ours toggled on the
    // shield (the panel may be gone by then).
    static void checkAboveSpread(PanelHost& host, const std::shared_ptr<X11Panel>& panel,
                                 xcb_window_t client);
    void applyHints();
    // The states a managed shield asks for when it is mapped: out of task bars and pagers,
    // and kept above like its window, when it is.
    void writeInitialState();
    // Keeps a shown managed shield in the layer of its window: a window manager keeps a
    // window kept above over every ordinary one, transients of it included.
    void followLayer();
    void setTransientFor(xcb_window_t client);
    void restack();
    void placeGeometry();
    // Shown, and at the geometry asked for; and, for `isInPlace`, directly above its window.
    bool shownAsAsked() const;
    bool placementConfirmed() const;
    // Reads where the panel's top-level is and whether it is shown, after the window manager
    // framed the panel anew (or left it unframed).
    void readOwnTopLevel();

    PanelHost& host_;
    std::weak_ptr<void> alive_;
    PanelConfiguration configuration_;
    xcb_window_t window_ = XCB_NONE;
    bool managed_ = false;
    bool closed_ = false;
    // Whether we asked for the panel to be shown, and whether the server has shown it.
    bool mapped_ = false;
    bool viewable_ = false;
    // Where the core last ordered the panel: the covered client, its top-level window and
    // the mode.
    xcb_window_t relativeTo_ = XCB_NONE;
    xcb_window_t topLevel_ = XCB_NONE;
    WindowOrderingMode orderMode_ = WindowOrderingMode::out;
    xcb_window_t transientFor_ = XCB_NONE;
    // Whether the shield is (asked to be) kept above or below the others, as its window is.
    StackState stackState_ = StackState::ordinary;
    // The requested geometry in root coordinates, and the size the window really has.
    int32_t x_ = 0, y_ = 0;
    uint32_t width_ = 1, height_ = 1;
    uint32_t drawnWidth_ = 0, drawnHeight_ = 0;
    // The picture last painted into the window, to tell whether a display changes anything.
    std::optional<Drawing> painted_;
    std::shared_ptr<PanelContent> view_;
    cairo_surface_t* surface_ = nullptr;
    bool needsRedraw_ = false;
    // Made key before the server showed it: the focus follows once it is viewable.
    bool keyWhenViewable_ = false;
    // The core made the shield key and it has not lost the keyboard since: an offer of the
    // keyboard from the window manager (WM_TAKE_FOCUS) is accepted only then.
    bool wantsKey_ = false;
    // The window that had the keyboard focus before the panel took it.
    xcb_window_t previousFocus_ = XCB_NONE;
    void takeFocus();
    // The window of the other kind this one replaced while it had the keyboard, kept until
    // this one takes it.
    xcb_window_t retiredWindow_ = XCB_NONE;
    void destroyRetiredWindow();
    // Corrections asked for since the panel was last seen in place, across passes; bounded,
    // so that a window manager with other ideas is not fought forever.
    int corrections_ = 0;
    // Whether the last correction of a managed shield was a restack request (or a change of
    // state layer).
    bool lastCorrectionByRequest_ = false;
    // Whether the window manager moved or restacked the shield's top-level since our last
    // correction, how many corrections in a row it left unanswered, and which correction a
    // check for an answer belongs to.
    bool answeredSinceCorrection_ = false;
    int ignoredCorrections_ = 0;
    uint64_t correctionSerial_ = 0;
    // A moment after a correction: one the window manager left without any answer is not
    // waited on until the next pass; the next means is tried, and where both go unanswered
    // the shield becomes a window of our own.
    void checkCorrectionAnswered(uint64_t serial);
    // Puts a managed shield back above its window: by a restack request, or by a change of
    // state layer.
    void correctManaged(bool byRequest);
    // The lowest shown window between the shield and its window, as last measured.
    xcb_window_t lowestBetween_ = XCB_NONE;
    int geometryCorrections_ = 0;
    // Forbidden states asked away since the window was made, and hidings since the shield
    // was last seen shown.
    int stateReverts_ = 0;
    int hiddenReverts_ = 0;
    // The geometry last written, so that a pass that changes nothing writes nothing.
    std::optional<std::array<int64_t, 4>> placed_;
    // The top-level an override-redirect panel was last restacked above.
    xcb_window_t restackedAbove_ = XCB_NONE;
    // The root's child that holds a managed panel (its frame), once shown.
    xcb_window_t ownTopLevel_ = XCB_NONE;
    // What the server shows of that top-level, from its events: whether it is mapped (for a
    // frame; the panel's own window has `viewable_`), where it is in root coordinates, and
    // whether it was directly above the covered window when last measured.
    bool frameViewable_ = false;
    // Whether the frame was last seen smaller than the shield: its decorations are judged
    // once the window manager has sized it.
    bool frameUnsized_ = false;
    std::optional<WindowGeometry> shownGeometry_;
    bool stackedInPlace_ = false;
    // The last answer the core had, so that only a change is announced; and whether the
    // panel was announced in place since the last pass.
    bool reportedInPlace_ = false;
    bool announcedInPlace_ = false;
    // A pass asked for a check while the stacking was still settling: the check made once it
    // has settled counts as that pass's.
    bool passDeferred_ = false;
};

}  // namespace sh::x11
