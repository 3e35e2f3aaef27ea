// Tells programs of this session which application has the focus: a bus name of its own on the
// Shell's connection, a Focus() method and a FocusChanged signal. Shared by both extension
// formats; `deps` carries the Shell's modules.
const ORVANE_BUS_NAME = 'ai.orvane.ShellActivity';
const ORVANE_OBJECT_PATH = '/ai/orvane/ShellActivity';
const ORVANE_INTERFACE = `
<node>
  <interface name="ai.orvane.ShellActivity">
    <method name="Focus">
      <arg type="s" direction="out" name="appId"/>
      <arg type="s" direction="out" name="wmClass"/>
      <arg type="s" direction="out" name="wmClassInstance"/>
      <arg type="s" direction="out" name="gtkApplicationId"/>
      <arg type="u" direction="out" name="pid"/>
    </method>
    <signal name="FocusChanged">
      <arg type="s" name="appId"/>
      <arg type="s" name="wmClass"/>
      <arg type="s" name="wmClassInstance"/>
      <arg type="s" name="gtkApplicationId"/>
      <arg type="u" name="pid"/>
    </signal>
  </interface>
</node>`;

// Longer texts name no desktop entry; they are dropped rather than sent whole.
const ORVANE_MAXIMUM_TEXT = 1024;

function orvaneText(value) {
    if (typeof value !== 'string' || value.length > ORVANE_MAXIMUM_TEXT)
        return '';
    // D-Bus carries UTF-8 only: a lone surrogate cannot be sent.
    return value.replace(/[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/g,
        '\uFFFD');
}

class OrvaneFocusReporter {
    constructor(deps) {
        this._deps = deps;
        this._focus = ['', '', '', '', 0];
        this._signals = [];
    }

    enable() {
        const {Gio, Shell, Main} = this._deps;
        this._focus = this._current();
        this._exported = Gio.DBusExportedObject.wrapJSObject(ORVANE_INTERFACE, this);
        this._exported.export(Gio.DBus.session, ORVANE_OBJECT_PATH);
        const tracker = Shell.WindowTracker.get_default();
        const update = () => this._update();
        this._signals = [
            [global.display, global.display.connect('notify::focus-window', update)],
            [tracker, tracker.connect('notify::focus-app', update)],
            [Main.sessionMode, Main.sessionMode.connect('updated', update)],
        ];
        // The name last: a program that sees it finds the object ready.
        this._nameId = Gio.bus_own_name_on_connection(Gio.DBus.session, ORVANE_BUS_NAME,
            Gio.BusNameOwnerFlags.NONE, null, null);
    }

    disable() {
        const {Gio} = this._deps;
        if (this._nameId) {
            Gio.bus_unown_name(this._nameId);
            this._nameId = 0;
        }
        for (const [object, id] of this._signals)
            object.disconnect(id);
        this._signals = [];
        if (this._exported) {
            this._exported.unexport();
            this._exported = null;
        }
    }

    Focus() {
        return this._focus;
    }

    _current() {
        const {Shell, Main} = this._deps;
        const window = global.display.focus_window;
        if (!window || Main.sessionMode.isLocked)
            return ['', '', '', '', 0];
        const app = Shell.WindowTracker.get_default().get_window_app(window);
        const appId = app ? app.get_id() : '';
        const pid = window.get_pid();
        return [
            // The Shell names windows without an application "window:<n>".
            appId && !appId.startsWith('window:') ? orvaneText(appId) : '',
            orvaneText(window.get_wm_class()),
            orvaneText(window.get_wm_class_instance()),
            orvaneText(window.get_gtk_application_id()),
            pid > 0 ? pid : 0,
        ];
    }

    _update() {
        const {GLib} = this._deps;
        const focus = this._current();
        if (focus.every((part, i) => part === this._focus[i]))
            return;
        this._focus = focus;
        this._exported.emit_signal('FocusChanged', new GLib.Variant('(ssssu)', focus));
    }
}
