// The demo launcher page: shows what the launcher reports and asks it for what the user wants.
// Every call of a native function is guarded, so the page also works in a plain browser.
(function () {
  'use strict';

  var ADDONS = [
    { id: 101, type: 0, name: '塔恩整合插件', desc: '界面增强、任务助手、背包整合',
      url: 'https://addons.example.com/tarn-suite.zip', file: 'tarn-suite.zip', md5: '' },
    { id: 102, type: 0, name: '团队框架增强', desc: '团队血条、减益提示',
      url: 'https://addons.example.com/raidframes.zip', file: 'raidframes.zip', md5: '' },
    { id: 103, type: 1, name: '全新界面方案', desc: '替换全部插件（会清空插件目录）',
      url: 'https://addons.example.com/ui-pack.zip', file: 'ui-pack.zip', md5: '' }
  ];

  function $(id) { return document.getElementById(id); }

  // Calls a native function if the launcher provides it; says so in the page when it does not.
  function native(name) {
    var fn = window[name];
    var args = Array.prototype.slice.call(arguments, 1);
    if (typeof fn === 'function') {
      try { return fn.apply(window, args); } catch (e) { /* the launcher's functions never throw */ }
      return undefined;
    }
    notice('演示模式：未连接到登录器（' + name + '）');
    return undefined;
  }

  var noticeTimer = 0;
  function notice(text) {
    var el = $('notice');
    el.textContent = text;
    clearTimeout(noticeTimer);
    noticeTimer = setTimeout(function () { el.textContent = ''; }, 4000);
  }

  // ---- the window ----
  $('titlebar').addEventListener('mousedown', function (e) {
    if (e.button !== 0 || e.target.closest('button')) return;
    native('native_system_cmd', 'movewindows');
  });
  $('titlebar').addEventListener('dblclick', function (e) {
    if (!e.target.closest('button')) toggleMax();
  });
  $('btn-min').addEventListener('click', function () { native('native_system_cmd', 'minwindows'); });
  $('btn-max').addEventListener('click', toggleMax);
  $('btn-close').addEventListener('click', function () { native('native_system_cmd', 'exitapp'); });
  function toggleMax() { native('native_system_cmd', 'maxwindows'); }
  // The launcher maximises to the screen's work area; tell the two states apart by size.
  function syncMaxState() {
    var max = window.innerWidth >= screen.availWidth - 2 && window.innerHeight >= screen.availHeight - 2;
    document.body.classList.toggle('maximized', max);
    $('btn-max').title = max ? '还原' : '最大化';
  }
  window.addEventListener('resize', syncMaxState);
  syncMaxState();

  // ---- links and maintenance ----
  Array.prototype.forEach.call(document.querySelectorAll('[data-url]'), function (b) {
    b.addEventListener('click', function () { native('native_open_url', b.getAttribute('data-url')); });
  });
  var CONFIRM = {
    native_clear_cache: '已清理游戏缓存、错误报告与日志',
    native_clear_user_cache: '已重置账号设置并移除全部插件',
    native_clear_fonts: '已恢复游戏默认字体'
  };
  Array.prototype.forEach.call(document.querySelectorAll('[data-cmd]'), function (b) {
    b.addEventListener('click', function () {
      var cmd = b.getAttribute('data-cmd');
      if (typeof window[cmd] === 'function') { native(cmd); notice(CONFIRM[cmd]); } else native(cmd);
    });
  });

  // ---- status and start ----
  // A status text may carry progress: "… 42%", "… (3 / 10)", or a trailing number ("… 42").
  function progressOf(text) {
    var m = /(\d{1,3})\s*%/.exec(text);
    if (m) return Math.min(100, +m[1]);
    m = /\((\d+)\s*\/\s*(\d+)\)/.exec(text);
    if (m && +m[2] > 0) return Math.min(100, Math.round(+m[1] * 100 / +m[2]));
    m = /\s(\d{1,3})$/.exec(text);
    if (m) return Math.min(100, +m[1]);
    return -1;
  }

  window.lblmsg = function (text) {
    text = String(text);
    $('status-text').textContent = text;
    var p = progressOf(text);
    var bar = document.querySelector('.bar');
    if (p >= 0) {
      bar.classList.remove('waiting');
      $('status-fill').style.width = p + '%';
      $('status-percent').textContent = p + '%';
    } else {
      bar.classList.add('waiting');
      $('status-fill').style.width = '';
      $('status-percent').textContent = '';
    }
  };

  window.lblstartgame = function () {
    var b = $('btn-start');
    b.disabled = false;
    $('start-sub').textContent = '准备就绪';
    var bar = document.querySelector('.bar');
    bar.classList.remove('waiting');
    $('status-fill').style.width = '100%';
  };

  $('btn-start').addEventListener('click', function () {
    native('native_start_game');
    $('start-sub').textContent = '正在启动游戏……';
    setTimeout(function () { $('start-sub').textContent = '准备就绪'; }, 3000);
  });

  // ---- add-ons: one job at a time; the notices belong to the add-on asked for last ----
  var current = null;
  var TEXTS = { 0: '开始下载', 2: '下载完成', 3: '开始安装', 9: '安装完成', 1001: '下载失败', 1002: '安装失败' };

  function renderAddons() {
    var list = $('addon-list');
    list.innerHTML = '';
    ADDONS.forEach(function (a) {
      var li = document.createElement('li');
      li.id = 'addon-' + a.id;
      li.innerHTML = '<div class="addon-row"><span class="addon-name"></span>' +
        '<span class="addon-state"></span><button class="addon-btn">安装</button></div>' +
        '<div class="addon-progress"><div></div></div>';
      li.querySelector('.addon-name').textContent = a.name;
      var desc = document.createElement('span');
      desc.className = 'addon-desc';
      desc.textContent = a.desc;
      li.querySelector('.addon-name').appendChild(desc);
      li.querySelector('.addon-btn').addEventListener('click', function () { install(a); });
      list.appendChild(li);
    });
  }

  function setBusy(busy) {
    Array.prototype.forEach.call(document.querySelectorAll('.addon-btn'), function (b) { b.disabled = busy; });
  }

  function install(a) {
    if (current) return;
    if (typeof window.native_down_addon !== 'function') { native('native_down_addon'); return; }
    current = a;
    var li = $('addon-' + a.id);
    li.classList.add('busy');
    li.querySelector('.addon-state').className = 'addon-state';
    li.querySelector('.addon-state').textContent = '等待中';
    li.querySelector('.addon-progress div').style.width = '0';
    setBusy(true);
    native('native_down_addon', a.url, a.file, a.md5, a.id, a.type);
  }

  window.lbldownaddon = function (n) {
    if (!current || !n) return;
    var li = $('addon-' + current.id);
    var state = li.querySelector('.addon-state');
    var code = +n.code;
    if (code === 1 || code === 4) {
      var p = Math.max(0, Math.min(100, parseInt(n.msg, 10) || 0));
      li.querySelector('.addon-progress div').style.width = (code === 1 ? p / 2 : 50 + p / 2) + '%';
      state.textContent = (code === 1 ? '下载 ' : '安装 ') + p + '%';
      return;
    }
    state.textContent = TEXTS[code] || String(n.msg || '');
    if (code === 9) { state.className = 'addon-state ok'; li.querySelector('.addon-progress div').style.width = '100%'; }
    if (code >= 1000) state.className = 'addon-state bad';
  };

  window.lbladdonend = function () {
    if (current) {
      var li = $('addon-' + current.id);
      li.classList.remove('busy');
      var state = li.querySelector('.addon-state');
      if (state.textContent === '等待中') state.textContent = '';
    }
    current = null;
    setBusy(false);
  };

  renderAddons();
  window.lblmsg('正在连接服务器……');
  var channel = typeof window.native_get_channel === 'function' ? window.native_get_channel() : '';
  $('channel').textContent = '版本 2.0.10.219' + (channel ? ' · 渠道 ' + channel : '');
})();
