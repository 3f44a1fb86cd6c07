// For the end-to-end tests only, on a throw-away headless shell: unsafe mode lets the test
// drive the shell through org.gnome.Shell.Eval and read pixels through org.gnome.Shell.Screenshot,
// and the overview the shell opens at start is closed so that windows show as on a desktop.
/* exported init */

const Main = imports.ui.main;

class TestTools {
    enable() {
        global.context.unsafe_mode = true;
        if (Main.layoutManager._startingUp)
            this._id = Main.layoutManager.connect('startup-complete', () => Main.overview.hide());
        else
            Main.overview.hide();
    }

    disable() {
        if (this._id)
            Main.layoutManager.disconnect(this._id);
        this._id = 0;
    }
}

function init() {
    return new TestTools();
}
