// The helper's KWin script. It reports the windows KWin manages to the helper that loaded it,
// over the session bus, and keeps each of the helper's veil windows directly above the window
// it covers, at that window's frame, on its desktops and minimised with it. The helper writes
// its own bus name and process id into the two constants below before it loads the script.
"use strict";

const helperName = "@HELPER_BUS_NAME@";
const helperPid = @HELPER_PID@;
const helperPath = "/org/shieldhelper/KWin1";
const helperInterface = "org.shieldhelper.KWin1";
// The application id and caption prefix of the helper's veil windows.
const veilClass = "org.shieldhelper.veil";
const veilCaption = "shield-helper veil ";
// The helper answers its command call at least this often; a script that hears nothing for
// longer takes the helper to be gone and stops reporting (it keeps placing veils that exist,
// which only a live helper can have).
const silenceLimitMs = 30000;

// Window numbers given to the helper, by KWin's id for the window.
const numbers = new Map();
const windowsByNumber = new Map();
let nextNumber = 1;
// The veils the helper asked for, by veil id: {target: window number, window: KWin window}.
const veils = new Map();
// Veil windows that appeared before the helper named their target.
const veilWindows = new Map();
// The last window other than a veil that had the focus.
let lastActive = null;
let events = [];
let reportQueued = false;
let quiet = false;
let restacking = false;

const flushTimer = new QTimer();
flushTimer.interval = 0;
flushTimer.singleShot = true;
flushTimer.timeout.connect(flush);
const silenceTimer = new QTimer();
silenceTimer.interval = silenceLimitMs;
silenceTimer.singleShot = true;
silenceTimer.timeout.connect(() => { quiet = true; });

function keyOf(window) {
    return String(window.internalId);
}

function veilIdOf(window) {
    if (window.pid !== helperPid || window.resourceClass !== veilClass)
        return 0;
    const caption = String(window.caption);
    if (!caption.startsWith(veilCaption))
        return 0;
    const id = parseInt(caption.substring(veilCaption.length), 10);
    return id > 0 ? id : 0;
}

function numberOf(window) {
    const key = keyOf(window);
    let number = numbers.get(key);
    if (number === undefined) {
        number = nextNumber++;
        numbers.set(key, number);
        windowsByNumber.set(number, window);
    }
    return number;
}

function typeOf(window) {
    if (window.desktopWindow)
        return "desktop";
    if (window.dock)
        return "dock";
    if (window.notification || window.criticalNotification || window.onScreenDisplay)
        return "notification";
    if (window.menu || window.dropdownMenu || window.popupMenu || window.tooltip ||
        window.comboBox || window.popupWindow)
        return "menu";
    if (window.normalWindow || window.dialog)
        return "normal";
    return "other";
}

function onCurrentDesktop(window) {
    if (window.onAllDesktops)
        return true;
    const current = workspace.currentDesktop;
    return window.desktops.some(desktop => desktop === current || desktop.id === current.id);
}

function sameDesktops(a, b) {
    return a.length === b.length && a.every((desktop, i) => desktop.id === b[i].id);
}

function sameFrame(a, b) {
    return a.x === b.x && a.y === b.y && a.width === b.width && a.height === b.height;
}

// Whether a veil shows where it belongs: at its target's frame, minimised with it and directly
// above it in KWin's stacking order.
function inPlace(veil) {
    const target = windowsByNumber.get(veil.target);
    const window = veil.window;
    if (!target || !window || window.deleted || target.deleted)
        return false;
    if (window.minimized !== target.minimized || !sameFrame(window.frameGeometry, target.frameGeometry))
        return false;
    const order = workspace.stackingOrder;
    return order.indexOf(window) === order.indexOf(target) + 1;
}

function event(kind, window) {
    events.push([kind, window ? numberOf(window) : 0, window ? window.pid : 0]);
    queueReport();
}

function queueReport() {
    if (quiet || reportQueued)
        return;
    reportQueued = true;
    flushTimer.start();
}

// Sends the whole picture, front to back, with the events since the last report.
function flush() {
    reportQueued = false;
    if (quiet)
        return;
    const order = workspace.stackingOrder;
    const windows = [];
    for (let i = order.length - 1; i >= 0; i--) {
        const window = order[i];
        if (window.deleted || !window.managed || veilIdOf(window))
            continue;
        const frame = window.frameGeometry;
        windows.push({
            n: numberOf(window), pid: window.pid,
            app: String(window.desktopFileName || window.resourceClass || ""),
            x: frame.x, y: frame.y, w: frame.width, h: frame.height,
            type: typeOf(window), layer: window.layer, minimized: window.minimized,
            current: onCurrentDesktop(window), opacity: window.opacity,
        });
    }
    const placed = [];
    for (const [id, veil] of veils)
        placed.push({id: id, target: veil.target, inPlace: inPlace(veil)});
    const active = workspace.activeWindow;
    const size = workspace.virtualScreenSize;
    const state = {
        windows: windows, veils: placed, events: events,
        active: active && !veilIdOf(active) ? numberOf(active) : 0,
        activeVeil: active ? veilIdOf(active) : 0,
        screen: [size.width, size.height],
    };
    events = [];
    callDBus(helperName, helperPath, helperInterface, "Report", JSON.stringify(state));
}

// Puts a veil window directly above its target: raising it puts it on top of its layer, and
// raising again, in their order, the windows that were above the target puts them back over it.
function restack(veil) {
    const target = windowsByNumber.get(veil.target);
    const window = veil.window;
    if (!target || !window)
        return;
    const order = workspace.stackingOrder;
    const targetIndex = order.indexOf(target);
    if (targetIndex < 0 || order.indexOf(window) === targetIndex + 1)
        return;
    const above = order.slice(targetIndex + 1).filter(w => w !== window && !w.deleted);
    restacking = true;
    try {
        workspace.raiseWindow(window);
        for (const w of above)
            workspace.raiseWindow(w);
    } finally {
        restacking = false;
    }
}

function place(veil) {
    const target = windowsByNumber.get(veil.target);
    const window = veil.window;
    if (!target || !window || target.deleted || window.deleted)
        return;
    window.skipTaskbar = true;
    window.skipPager = true;
    window.skipSwitcher = true;
    window.noBorder = true;
    if (window.keepAbove !== target.keepAbove)
        window.keepAbove = target.keepAbove;
    if (window.keepBelow !== target.keepBelow)
        window.keepBelow = target.keepBelow;
    if (target.onAllDesktops) {
        if (!window.onAllDesktops)
            window.onAllDesktops = true;
    } else if (window.onAllDesktops || !sameDesktops(window.desktops, target.desktops)) {
        window.desktops = target.desktops;
    }
    const frame = target.frameGeometry;
    if (!sameFrame(window.frameGeometry, frame))
        window.frameGeometry = {x: frame.x, y: frame.y, width: frame.width, height: frame.height};
    if (window.minimized !== target.minimized)
        window.minimized = target.minimized;
    restack(veil);
}

function veilsOver(window) {
    const number = numbers.get(keyOf(window));
    const result = [];
    if (number === undefined)
        return result;
    for (const veil of veils.values()) {
        if (veil.target === number)
            result.push(veil);
    }
    return result;
}

function placeAll() {
    for (const veil of veils.values())
        place(veil);
}

function watch(window) {
    const id = veilIdOf(window);
    if (id) {
        watchVeilWindow(window, id);
        return;
    }
    let frame = window.frameGeometry;
    window.frameGeometryChanged.connect(() => {
        const now = window.frameGeometry;
        const resized = now.width !== frame.width || now.height !== frame.height;
        frame = now;
        veilsOver(window).forEach(place);
        event(resized ? "resized" : "moved", window);
    });
    window.minimizedChanged.connect(() => {
        veilsOver(window).forEach(place);
        event(window.minimized ? "minimized" : "unminimized", window);
    });
    window.desktopsChanged.connect(() => {
        veilsOver(window).forEach(place);
        event("moved", window);
    });
    window.stackingOrderChanged.connect(() => {
        if (restacking)
            return;
        placeAll();
        queueReport();
    });
    for (const signal of ["keepAboveChanged", "keepBelowChanged"]) {
        if (window[signal]) {
            window[signal].connect(() => {
                veilsOver(window).forEach(place);
                event("moved", window);
            });
        }
    }
}

function watchVeilWindow(window, id) {
    const veil = veils.get(id);
    if (veil) {
        veil.window = window;
        place(veil);
    } else {
        veilWindows.set(id, window);
    }
    // A new window takes the focus; a veil must not take it from the window the person is
    // working in, so that one gets it back unless it is the veil's own target.
    if (workspace.activeWindow === window && lastActive && !lastActive.deleted &&
        !(veil && windowsByNumber.get(veil.target) === lastActive))
        workspace.activeWindow = lastActive;
    window.minimizedChanged.connect(() => {
        const v = veils.get(id);
        if (v)
            place(v);
    });
    window.frameGeometryChanged.connect(queueReport);
}

function apply(commands) {
    for (const command of commands) {
        if (command.op === "veil") {
            let veil = veils.get(command.id);
            if (!veil) {
                veil = {target: command.target, window: veilWindows.get(command.id) || null};
                veilWindows.delete(command.id);
                veils.set(command.id, veil);
            }
            veil.target = command.target;
            place(veil);
        } else if (command.op === "unveil") {
            veils.delete(command.id);
            veilWindows.delete(command.id);
        } else if (command.op === "focus") {
            const veil = veils.get(command.id);
            if (veil && veil.window && !veil.window.deleted)
                workspace.activeWindow = veil.window;
        } else if (command.op === "stop") {
            veils.clear();
            veilWindows.clear();
            quiet = true;
        }
    }
    queueReport();
}

// Asks the helper for its next commands; it answers when it has some, or after a while with
// none, and the script asks again. A helper that is gone never answers, and the asking ends.
function poll() {
    if (quiet)
        return;
    silenceTimer.start();
    callDBus(helperName, helperPath, helperInterface, "Commands", reply => {
        let commands = [];
        try {
            commands = JSON.parse(reply);
        } catch (e) {
            print("shield-helper: unreadable commands: " + e);
        }
        apply(commands);
        poll();
    });
}

workspace.windowAdded.connect(window => {
    watch(window);
    if (!veilIdOf(window))
        event("created", window);
});
workspace.windowRemoved.connect(window => {
    const id = veilIdOf(window);
    if (id) {
        const veil = veils.get(id);
        if (veil && veil.window === window)
            veil.window = null;
        if (veilWindows.get(id) === window)
            veilWindows.delete(id);
        queueReport();
        return;
    }
    event("destroyed", window);
    const key = keyOf(window);
    const number = numbers.get(key);
    numbers.delete(key);
    if (number !== undefined)
        windowsByNumber.delete(number);
    if (lastActive === window)
        lastActive = null;
});
workspace.windowActivated.connect(window => {
    if (!window) {
        queueReport();
        return;
    }
    const id = veilIdOf(window);
    if (id) {
        // A click on a veil raises it; its target goes up with it, under it.
        const veil = veils.get(id);
        const target = veil ? windowsByNumber.get(veil.target) : null;
        if (target && !target.deleted) {
            restacking = true;
            try {
                workspace.raiseWindow(target);
            } finally {
                restacking = false;
            }
            place(veil);
        }
        queueReport();
        return;
    }
    lastActive = window;
    event("focused", window);
});
workspace.currentDesktopChanged.connect(() => event("desktop", null));
workspace.virtualScreenSizeChanged.connect(() => event("screen", null));

for (const window of workspace.stackingOrder)
    watch(window);
lastActive = workspace.activeWindow;
queueReport();
poll();
