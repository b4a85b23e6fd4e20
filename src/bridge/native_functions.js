// Injected into every frame at document creation, before the page's own scripts. Defines the
// eight native functions on window. Calls travel to the program over the web channel of the top
// frame; calls made before the channel is up are queued and sent in order once it is. Sub-frames
// have no channel of their own and relay their calls to the top frame.
// The web channel library is prepended to this text, inside the same function scope, so the page
// sees none of its names.
    const kRelay = '\u0001tarnwick-native-call';
    const kChannelPrompt = '\u0001tarnwick-get-channel';
    const isTop = (function () { try { return window.top === window; } catch (e) { return false; } })();
    const nativePrompt = window.prompt;
    const queue = [];
    let bridge = null;

    function toPlain(v) {
        const t = typeof v;
        return (t === 'string' || t === 'number' || t === 'boolean') ? v : null;
    }

    function send(name, args) {
        if (isTop) {
            if (bridge) {
                bridge.call(name, args);
            } else {
                queue.push([name, args]);
            }
            return;
        }
        try {
            window.top.postMessage({ kind: kRelay, name: name, args: args }, '*');
        } catch (e) {
            // no top frame to reach: the call is dropped, as a call with no target frame is
        }
    }

    const names = ['native_system_cmd', 'native_start_game', 'native_down_addon', 'native_clear_cache',
                   'native_clear_user_cache', 'native_clear_fonts', 'native_open_url'];
    const known = new Set(names);

    const functions = {
        native_system_cmd: function native_system_cmd() {
            if (arguments.length >= 1 && typeof arguments[0] === 'string')
                send('native_system_cmd', [arguments[0]]);
        },
        native_start_game: function native_start_game() { send('native_start_game', []); },
        native_down_addon: function native_down_addon() {
            if (arguments.length < 1)
                return;
            const a = [];
            for (let i = 0; i < 5; ++i)
                a.push(i < arguments.length ? toPlain(arguments[i]) : (i < 3 ? '' : 0));
            send('native_down_addon', a);
        },
        native_clear_cache: function native_clear_cache() { send('native_clear_cache', []); },
        native_clear_user_cache: function native_clear_user_cache() { send('native_clear_user_cache', []); },
        native_clear_fonts: function native_clear_fonts() { send('native_clear_fonts', []); },
        native_open_url: function native_open_url() {
            if (arguments.length >= 1)
                send('native_open_url', [toPlain(arguments[0])]);
        },
        native_get_channel: function native_get_channel() {
            try {
                const v = nativePrompt.call(window, kChannelPrompt, '');
                return typeof v === 'string' ? v : 'x001';
            } catch (e) {
                return 'x001';
            }
        },
    };

    for (const name of names.concat(['native_get_channel'])) {
        const f = functions[name];
        // No function ever throws into the page, and seven of them return undefined.
        window[name] = name === 'native_get_channel' ? f : function () {
            try { f.apply(this, arguments); } catch (e) { }
            return undefined;
        };
        Object.defineProperty(window[name], 'name', { value: name });
    }

    if (isTop) {
        window.addEventListener('message', function (event) {
            const d = event.data;
            if (!d || d.kind !== kRelay || typeof d.name !== 'string' || !known.has(d.name) || !Array.isArray(d.args))
                return;
            if (event.source === window)
                return;
            send(d.name, d.args.slice(0, 5).map(toPlain));
        });
        const connect = function () {
            if (typeof qt === 'undefined' || !qt.webChannelTransport)
                return;
            new QWebChannel(qt.webChannelTransport, function (channel) {
                bridge = channel.objects.tarnwick;
                while (queue.length) {
                    const c = queue.shift();
                    bridge.call(c[0], c[1]);
                }
            });
        };
        connect();
    }
