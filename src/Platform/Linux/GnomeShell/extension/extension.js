// GNOME Shell 45 and later.
import Gio from 'gi://Gio';
import GLib from 'gi://GLib';
import Shell from 'gi://Shell';
import * as Main from 'resource:///org/gnome/shell/ui/main.js';
import {Extension} from 'resource:///org/gnome/shell/extensions/extension.js';

@ORVANE_TRACKER@

export default class OrvaneActivityExtension extends Extension {
    enable() {
        this._reporter = new OrvaneFocusReporter({Gio, GLib, Shell, Main});
        this._reporter.enable();
    }

    disable() {
        this._reporter?.disable();
        this._reporter = null;
    }
}
