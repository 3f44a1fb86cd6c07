// The Shield Helper companion: serves org.shieldhelper.Companion1 on the session bus so that the
// helper process, an ordinary Wayland client that can neither see other applications' windows
// nor stack over them, can do both through the shell. It reports raw facts (windows,
// applications, changes) and performs operations (veils on windows); the helper decides
// everything. The body shared by both extension formats: build-extension puts the imports of
// GNOME Shell 43-44 (imports.gi) or of 45 and later (ES modules) before it, and the entry point
// of that format after it. It uses Clutter, Gio, GLib, Pango, St and the shell's Main.

const BUS_NAME = 'org.shieldhelper.Companion1';
const OBJECT_PATH = '/org/shieldhelper/Companion1';
const VERSION = 1;

const INTERFACE_XML = `
<node>
  <interface name="org.shieldhelper.Companion1">
    <method name="Ping">
      <arg type="u" direction="out" name="version"/>
    </method>
    <method name="GetScreen">
      <arg type="(dd)" direction="out" name="size"/>
    </method>
    <method name="ListWindows">
      <arg type="a(tisddddiibbd)" direction="out" name="windows"/>
    </method>
    <method name="ListApplications">
      <arg type="a(si)" direction="out" name="applications"/>
    </method>
    <method name="SetVeil">
      <arg type="t" direction="in" name="veil"/>
      <arg type="t" direction="in" name="window"/>
      <arg type="(dddd)" direction="in" name="frame"/>
      <arg type="(dddd)" direction="in" name="fill"/>
      <arg type="a(sds(dddd)(dddd))" direction="in" name="texts"/>
      <arg type="b" direction="out" name="attached"/>
    </method>
    <method name="RemoveVeil">
      <arg type="t" direction="in" name="veil"/>
    </method>
    <method name="FocusVeil">
      <arg type="t" direction="in" name="veil"/>
    </method>
    <method name="GetFocusedApplication">
      <arg type="(si)" direction="out" name="application"/>
    </method>
    <method name="IsVeilFocused">
      <arg type="t" direction="in" name="veil"/>
      <arg type="b" direction="out" name="focused"/>
    </method>
    <method name="ListVeils">
      <arg type="a(sttdddd)" direction="out" name="veils"/>
    </method>
    <signal name="WindowEvent">
      <arg type="t" name="window"/>
      <arg type="i" name="pid"/>
      <arg type="s" name="event"/>
    </signal>
    <signal name="ApplicationEvent">
      <arg type="s" name="event"/>
      <arg type="s" name="appId"/>
      <arg type="i" name="pid"/>
    </signal>
    <signal name="WorkspaceSwitched"/>
    <signal name="MonitorsChanged"/>
    <signal name="VeilClicked">
      <arg type="t" name="veil"/>
    </signal>
    <signal name="VeilKeyPressed">
      <arg type="t" name="veil"/>
    </signal>
  </interface>
</node>`;

// The application a window belongs to, as the helper names applications on Wayland: the GTK
// application id when the client has one, otherwise its xdg-shell app id (which the shell
// reports as the window class, as it does WM_CLASS for X clients).
function appIdOf(win) {
    return win.get_gtk_application_id() || win.get_wm_class() || '';
}

function colorCss(c) {
    const byte = v => Math.round(Math.max(0, Math.min(1, v)) * 255);
    return `rgba(${byte(c[0])}, ${byte(c[1])}, ${byte(c[2])}, ${Math.max(0, Math.min(1, c[3]))})`;
}

const WEIGHTS = { regular: 400, medium: 500, semibold: 600 };

// Bounds on what one caller can make the shell do. Any process on the session bus can call the
// companion, and the shell runs every call on the main loop that draws the whole desktop: a
// call's cost must not grow with what the caller sends. The helper needs one veil per covered
// window and two texts per veil.
const MAX_PEERS = 8;
const MAX_VEILS_PER_PEER = 256;
const MAX_TEXTS = 8;
const MAX_TEXT_LENGTH = 1024;
const MAX_EXTENT = 32768;
// A call's arguments are looked at only up to this size; the helper's largest (a veil with its
// texts) takes well under a kilobyte. GDBus reads and parses a message on a thread of its own,
// so one refused here costs the shell's main loop next to nothing.
const MAX_CALL_BYTES = 64 * 1024;

function clamp(v, low, high) {
    return Number.isFinite(v) ? Math.max(low, Math.min(high, v)) : low;
}

class Companion {
    constructor() {
        this._registration = 0;
        this._interface = null;
        this._ownerId = 0;
        this._signals = [];
        this._windowSignals = new Map();
        // pid -> app id, for launch and quit, which the shell derives from windows here.
        this._apps = new Map();
        // sender -> { watch, veils: Map(id -> veil state) }
        this._peers = new Map();
    }

    enable() {
        // Registered directly rather than through a wrapper that unpacks every call's arguments
        // before anything can look at their size. GJS names the older closure form
        // register_object; that form hands the handler a reference to each invocation that GJS
        // never drops, so every call ever made stays in the shell's memory with its arguments
        // (a process flooding the companion with large calls grows the shell by about as much
        // as it sends). GLib 2.84 added the form taken here when there, which hands over no
        // reference; older GLib has only the other.
        const session = Gio.DBus.session;
        const register = session.register_object_with_closures2 ?? session.register_object;
        this._interface = Gio.DBusNodeInfo.new_for_xml(INTERFACE_XML).interfaces[0];
        this._registration = register.call(session, OBJECT_PATH, this._interface,
            (_connection, _sender, _path, _iface, method, parameters, invocation) =>
                this._handleCall(method, parameters, invocation),
            null, null);
        // Taken from whoever holds the name and allows it, and otherwise waited for: the helper
        // trusts the name only while the shell's own connection owns it.
        this._ownerId = Gio.bus_own_name_on_connection(Gio.DBus.session, BUS_NAME,
            Gio.BusNameOwnerFlags.REPLACE, null, null);

        this._connect(global.display, 'window-created', (_d, win) => this._track(win, true));
        this._connect(global.display, 'notify::focus-window', () => this._focusChanged());
        this._connect(global.workspace_manager, 'active-workspace-changed',
            () => this._emit('WorkspaceSwitched', null));
        this._connect(Main.layoutManager, 'monitors-changed',
            () => this._emit('MonitorsChanged', null));
        for (const actor of global.get_window_actors())
            this._track(actor.meta_window, false);
    }

    disable() {
        for (const sender of [...this._peers.keys()])
            this._dropPeer(sender);
        for (const [obj, id] of this._signals)
            obj.disconnect(id);
        this._signals = [];
        for (const [win, ids] of this._windowSignals) {
            for (const id of ids)
                win.disconnect(id);
        }
        this._windowSignals.clear();
        this._apps.clear();
        if (this._ownerId) {
            Gio.bus_unown_name(this._ownerId);
            this._ownerId = 0;
        }
        if (this._registration) {
            Gio.DBus.session.unregister_object(this._registration);
            this._registration = 0;
        }
    }

    _connect(obj, signal, callback) {
        this._signals.push([obj, obj.connect(signal, callback)]);
    }

    _emit(name, parameters) {
        if (this._registration)
            Gio.DBus.session.emit_signal(null, OBJECT_PATH, BUS_NAME, name, parameters);
    }

    _windowEvent(win, event) {
        this._emit('WindowEvent', new GLib.Variant('(tis)', [win.get_id(), win.get_pid(), event]));
    }

    _track(win, announce) {
        if (this._windowSignals.has(win))
            return;
        const pid = win.get_pid();
        const ids = [
            win.connect('position-changed', () => this._windowEvent(win, 'moved')),
            win.connect('size-changed', () => this._windowEvent(win, 'resized')),
            win.connect('notify::minimized',
                () => this._windowEvent(win, win.minimized ? 'minimized' : 'unminimized')),
            win.connect('workspace-changed', () => this._windowEvent(win, 'moved')),
            win.connect('unmanaged', () => this._untrack(win, pid)),
            // A Wayland client names its application after the window exists; by the time it
            // is shown the name is there.
            win.connect('shown', () => this._shown(win, pid, true)),
        ];
        this._windowSignals.set(win, ids);
        if (announce)
            this._windowEvent(win, 'created');
        else if (win.get_compositor_private()?.visible)
            this._shown(win, pid, false);
    }

    // A window became visible. The first one of a process announces the application; every
    // one is announced as created again, since at creation it had neither size nor place yet.
    _shown(win, pid, announce) {
        if (pid > 0 && !this._apps.has(pid)) {
            this._apps.set(pid, appIdOf(win));
            if (announce) {
                this._emit('ApplicationEvent',
                    new GLib.Variant('(ssi)', ['launched', appIdOf(win), pid]));
            }
        }
        if (announce)
            this._windowEvent(win, 'created');
    }

    _untrack(win, pid) {
        const ids = this._windowSignals.get(win);
        if (ids) {
            for (const id of ids)
                win.disconnect(id);
            this._windowSignals.delete(win);
        }
        this._emit('WindowEvent', new GLib.Variant('(tis)', [win.get_id(), pid, 'destroyed']));
        // Veils on the window went with its actor.
        for (const peer of this._peers.values()) {
            for (const [id, veil] of peer.veils) {
                if (veil.window === win)
                    peer.veils.delete(id);
            }
        }
        const others = [...this._windowSignals.keys()].some(w => w.get_pid() === pid);
        if (pid > 0 && !others && this._apps.has(pid)) {
            const appId = this._apps.get(pid);
            this._apps.delete(pid);
            this._emit('ApplicationEvent', new GLib.Variant('(ssi)', ['quit', appId, pid]));
        }
    }

    _focusChanged() {
        const win = global.display.focus_window;
        if (!win)
            return;
        this._windowEvent(win, 'focused');
        this._emit('ApplicationEvent',
            new GLib.Variant('(ssi)', ['activated', appIdOf(win), win.get_pid()]));
    }

    // One method call from the bus. A method either returns its one result (or nothing), or,
    // in its *Async form, answers the invocation itself, which tells it the sender.
    _handleCall(method, parameters, invocation) {
        if (parameters && parameters.get_size() > MAX_CALL_BYTES) {
            invocation.return_dbus_error('org.shieldhelper.Companion1.Error.TooLarge',
                `arguments over ${MAX_CALL_BYTES} bytes`);
            return;
        }
        try {
            const args = parameters ? parameters.deepUnpack() : [];
            if (this[`${method}Async`]) {
                this[`${method}Async`](args, invocation);
                return;
            }
            const result = this[method](...args);
            const out = this._interface.lookup_method(method).out_args;
            invocation.return_value(out.length
                ? new GLib.Variant(`(${out[0].signature})`, [result]) : null);
        } catch (e) {
            invocation.return_dbus_error('org.freedesktop.DBus.Error.Failed', String(e));
        }
    }

    // D-Bus methods.

    Ping() {
        return VERSION;
    }

    GetScreen() {
        return [global.stage.width, global.stage.height];
    }

    ListWindows() {
        const active = global.workspace_manager.get_active_workspace();
        const windows = global.get_window_actors().map(a => a.meta_window);
        // sort_windows_by_stacking answers bottom to top; the list is front to back.
        const sorted = global.display.sort_windows_by_stacking(windows).reverse();
        return sorted.map(win => {
            const frame = win.get_frame_rect();
            const actor = win.get_compositor_private();
            return [win.get_id(), win.get_pid(), appIdOf(win), frame.x, frame.y, frame.width,
                frame.height, win.get_window_type(), win.get_layer(), win.minimized,
                win.is_on_all_workspaces() || win.located_on_workspace(active),
                actor ? actor.get_opacity() / 255 : 1];
        });
    }

    ListApplications() {
        // Every process with a window, named as its windows name it now.
        const apps = new Map();
        for (const win of this._windowSignals.keys()) {
            const pid = win.get_pid();
            if (pid > 0 && !apps.has(pid))
                apps.set(pid, appIdOf(win));
        }
        return [...apps].map(([pid, appId]) => [appId, pid]);
    }

    SetVeilAsync(parameters, invocation) {
        const [veilId, windowId, frame, fill, texts] = parameters;
        const sender = invocation.get_sender();
        const win = global.get_window_actors().map(a => a.meta_window)
            .find(w => w.get_id() === windowId);
        const actor = win ? win.get_compositor_private() : null;
        const peer = this._peer(sender);
        if (!peer) {
            invocation.return_value(new GLib.Variant('(b)', [false]));
            return;
        }
        let veil = peer.veils.get(veilId);
        if (veil && veil.window !== win) {
            this._destroyVeil(veil);
            peer.veils.delete(veilId);
            veil = null;
        }
        if (!actor) {
            invocation.return_value(new GLib.Variant('(b)', [false]));
            return;
        }
        if (!veil) {
            if (peer.veils.size >= MAX_VEILS_PER_PEER) {
                invocation.return_value(new GLib.Variant('(b)', [false]));
                return;
            }
            veil = this._createVeil(veilId, win);
            peer.veils.set(veilId, veil);
            actor.add_child(veil.widget);
        }
        this._paintVeil(veil, frame, fill, texts);
        invocation.return_value(new GLib.Variant('(b)', [true]));
    }

    RemoveVeilAsync(parameters, invocation) {
        const [veilId] = parameters;
        const peer = this._peers.get(invocation.get_sender());
        const veil = peer ? peer.veils.get(veilId) : null;
        if (veil) {
            this._destroyVeil(veil);
            peer.veils.delete(veilId);
        }
        invocation.return_value(null);
    }

    FocusVeilAsync(parameters, invocation) {
        const [veilId] = parameters;
        const peer = this._peers.get(invocation.get_sender());
        const veil = peer ? peer.veils.get(veilId) : null;
        if (veil)
            global.stage.set_key_focus(veil.widget);
        invocation.return_value(null);
    }

    GetFocusedApplication() {
        const win = global.display.focus_window;
        return win ? [appIdOf(win), win.get_pid()] : ['', 0];
    }

    IsVeilFocusedAsync(parameters, invocation) {
        const [veilId] = parameters;
        const peer = this._peers.get(invocation.get_sender());
        const veil = peer ? peer.veils.get(veilId) : null;
        const focused = !!veil && global.stage.get_key_focus() === veil.widget;
        invocation.return_value(new GLib.Variant('(b)', [focused]));
    }

    ListVeils() {
        const result = [];
        for (const [sender, peer] of this._peers) {
            for (const [id, veil] of peer.veils) {
                const [x, y] = veil.widget.get_transformed_position();
                const [width, height] = veil.widget.get_transformed_size();
                result.push([sender, id, veil.window.get_id(), x, y, width, height]);
            }
        }
        return result;
    }

    _peer(sender) {
        let peer = this._peers.get(sender);
        if (!peer) {
            if (this._peers.size >= MAX_PEERS)
                return null;
            // A helper that leaves the bus, however it ends, takes its veils with it.
            const watch = Gio.bus_watch_name_on_connection(Gio.DBus.session, sender,
                Gio.BusNameWatcherFlags.NONE, null, () => this._dropPeer(sender));
            peer = { watch, veils: new Map() };
            this._peers.set(sender, peer);
        }
        return peer;
    }

    _dropPeer(sender) {
        const peer = this._peers.get(sender);
        if (!peer)
            return;
        this._peers.delete(sender);
        Gio.bus_unwatch_name(peer.watch);
        for (const veil of peer.veils.values())
            this._destroyVeil(veil);
    }

    _createVeil(veilId, win) {
        const widget = new St.Widget({ reactive: true, can_focus: true, track_hover: true });
        widget.connect('button-press-event', () => {
            this._emit('VeilClicked', new GLib.Variant('(t)', [veilId]));
            return Clutter.EVENT_STOP;
        });
        widget.connect('touch-event', (_a, event) => {
            if (event.type() === Clutter.EventType.TOUCH_BEGIN)
                this._emit('VeilClicked', new GLib.Variant('(t)', [veilId]));
            return Clutter.EVENT_STOP;
        });
        widget.connect('key-press-event', () => {
            this._emit('VeilKeyPressed', new GLib.Variant('(t)', [veilId]));
            return Clutter.EVENT_STOP;
        });
        return { widget, window: win };
    }

    _destroyVeil(veil) {
        if (global.stage.get_key_focus() === veil.widget)
            global.stage.set_key_focus(null);
        veil.widget.destroy();
    }

    // Frame in global coordinates, top-left origin; the veil is a child of the window's actor,
    // so it is placed relative to the actor and moves and stacks with it from then on. Text
    // rectangles come in the veil's own coordinates with the origin at its bottom-left.
    _paintVeil(veil, frame, fill, texts) {
        const [x, y] = frame.slice(0, 2).map(v => clamp(v, -MAX_EXTENT, MAX_EXTENT));
        const [width, height] = frame.slice(2).map(v => clamp(v, 0, MAX_EXTENT));
        texts = texts.slice(0, MAX_TEXTS).map(([text, fontSize, weight, color, rect]) =>
            [String(text).slice(0, MAX_TEXT_LENGTH), clamp(fontSize, 1, 512), weight, color,
                rect]);
        const widget = veil.widget;
        // The actor is placed at the window's buffer rectangle, but only once the shell has
        // synchronised its geometry: while a resize is being handled (size-changed) its own x
        // and y are still the old ones, and a veil placed from them stays off its window.
        const buffer = veil.window.get_buffer_rect();
        widget.set_position(x - buffer.x, y - buffer.y);
        widget.set_size(width, height);
        widget.style = `background-color: ${colorCss(fill)};`;
        // Labels are made again only when the texts or the size changed: a pass that moves a
        // veil sends them unchanged.
        const key = JSON.stringify([width, height, texts]);
        if (veil.texts === key)
            return;
        veil.texts = key;
        widget.destroy_all_children();
        for (const [text, fontSize, weight, color, rect] of texts) {
            const [rx, ry, rw, rh] = rect;
            const label = new St.Label({
                text,
                style: `font-size: ${fontSize}px; font-weight: ${WEIGHTS[weight] || 400}; ` +
                    `color: ${colorCss(color)}; text-align: center;`,
            });
            label.clutter_text.line_wrap = true;
            label.clutter_text.line_alignment = Pango.Alignment.CENTER;
            label.set_position(rx, height - ry - rh);
            label.set_size(rw, rh);
            label.clip_to_allocation = true;
            widget.add_child(label);
        }
    }
}
