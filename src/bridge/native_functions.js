// Injected into every frame at document creation, before the page's own scripts. Defines the
// eight native functions on window. Each call goes straight from its own frame to the program as
// a prompt with a marker text: the browser engine tells the program which document asked, so a
// frame can speak only for itself and no relay between frames exists that a page could imitate.
// The program answers every marked prompt at once; it acts only for trusted documents. Where the
// engine gives each frame a message channel of its own (WebView2's chrome.webview), the calls that
// return nothing take it instead, and only native_get_channel, which must answer, asks a prompt.
(function () {
    'use strict';
    const kMarker = '\u0001tarnwick-native';
    // Taken before any page script runs, so a page that replaces them later changes nothing here.
    const ask = Function.prototype.call.bind(window.prompt, window);
    const stringify = JSON.stringify;
    const defineProperty = Object.defineProperty;
    const channel = window.chrome && window.chrome.webview;
    const post = channel && typeof channel.postMessage === 'function' ? channel.postMessage.bind(channel) : null;

    function toPlain(v) {
        const t = typeof v;
        return (t === 'string' || t === 'number' || t === 'boolean') ? v : null;
    }

    function send(name, args) {
        try {
            if (post && name !== 'native_get_channel') {
                post(kMarker + stringify({ name: name, args: args }));
                return null;
            }
            return ask(kMarker, stringify({ name: name, args: args }));
        } catch (e) {
            return null; // no way to the program (a sandboxed frame without modals): dropped
        }
    }

    const functions = {
        native_system_cmd: function () {
            if (arguments.length >= 1 && typeof arguments[0] === 'string')
                send('native_system_cmd', [arguments[0]]);
        },
        native_start_game: function () { send('native_start_game', []); },
        native_down_addon: function () {
            if (arguments.length < 1)
                return;
            const a = [];
            for (let i = 0; i < 5; ++i)
                a[i] = i < arguments.length ? toPlain(arguments[i]) : (i < 3 ? '' : 0);
            send('native_down_addon', a);
        },
        native_clear_cache: function () { send('native_clear_cache', []); },
        native_clear_user_cache: function () { send('native_clear_user_cache', []); },
        native_clear_fonts: function () { send('native_clear_fonts', []); },
        native_open_url: function () {
            if (arguments.length >= 1)
                send('native_open_url', [toPlain(arguments[0])]);
        },
    };

    const names = ['native_system_cmd', 'native_start_game', 'native_down_addon', 'native_clear_cache',
                   'native_clear_user_cache', 'native_clear_fonts', 'native_open_url'];
    for (let i = 0; i < names.length; ++i) {
        const f = functions[names[i]];
        // No function ever throws into the page, and these seven return undefined.
        window[names[i]] = function () {
            try { f.apply(null, arguments); } catch (e) { }
            return undefined;
        };
        defineProperty(window[names[i]], 'name', { value: names[i] });
    }
    window.native_get_channel = function native_get_channel() {
        const v = send('native_get_channel', []);
        return typeof v === 'string' ? v : 'x001';
    };
})();
