// Reports each window activation to the agent that loaded this script. The agent fills in
// its own bus name below before loading a copy of this file.
(function () {
    var service = "@ORVANE_BUS_NAME@";

    // Plasma 5 exposes some window texts as byte arrays; report them as text either way.
    function text(value) {
        if (value === undefined || value === null)
            return "";
        if (typeof value === "string")
            return value;
        if (value instanceof ArrayBuffer) {
            var bytes = new Uint8Array(value, 0, Math.min(value.byteLength, 4096));
            var result = "";
            for (var i = 0; i < bytes.length; ++i)
                result += String.fromCharCode(bytes[i]);
            return result;
        }
        return String(value);
    }

    function report(window) {
        if (!window) {
            callDBus(service, "/Activity", "ai.orvane.KWinActivity", "Activated", "", "", "", "");
            return;
        }
        callDBus(service, "/Activity", "ai.orvane.KWinActivity", "Activated",
                 text(window.desktopFileName), text(window.resourceClass),
                 text(window.resourceName), String(window.pid > 0 ? window.pid : 0));
    }

    // Plasma 6 names them windowActivated / activeWindow, Plasma 5 clientActivated /
    // activeClient.
    if (workspace.windowActivated !== undefined) {
        workspace.windowActivated.connect(report);
        report(workspace.activeWindow);
    } else {
        workspace.clientActivated.connect(report);
        report(workspace.activeClient);
    }
})();
