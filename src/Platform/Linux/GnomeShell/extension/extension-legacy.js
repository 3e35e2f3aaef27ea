// GNOME Shell 43 and 44.
const {Gio, GLib, Shell} = imports.gi;
const Main = imports.ui.main;

@ORVANE_TRACKER@

class Extension {
    enable() {
        this._reporter = new OrvaneFocusReporter({Gio, GLib, Shell, Main});
        this._reporter.enable();
    }

    disable() {
        this._reporter?.disable();
        this._reporter = null;
    }
}

function init() {
    return new Extension();
}
