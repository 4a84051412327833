// The enrollment station: one more client of kelvord, on a WebSocket that
// carries the service's own request, answer and event objects. No framework,
// nothing fetched from anywhere but the page's own server.
'use strict';

(() => {
  const $ = (id) => document.getElementById(id);

  // The codes, the parameters' numbers and the layouts of the parameters made
  // of several values: the command rows', written beside this file by the build.
  const VOCABULARY = window.KELVOR_VOCABULARY;
  const parameter = (name) => {
    const number = VOCABULARY.parameters[name];
    if (number === undefined) throw new Error('no system parameter ' + name);
    return number;
  };
  // System parameters read for the line page, and the flags the page sends.
  const PARAM = {
    ENROLL_MODE: parameter('Enroll Mode'),
    FIRMWARE: parameter('Firmware Version'),
    ENROLLED: parameter('Enrolled Fingerprints'),
    AVAILABLE: parameter('Available Fingerprints'),
    FREE_SCAN: parameter('Free Scan'),
  };
  const OFF = VOCABULARY.settings.off, ON = VOCABULARY.settings.on;
  const enrollOption = (name) => {
    const code = VOCABULARY.enroll_options[name];
    if (code === undefined) throw new Error('no enroll option ' + name);
    return code;
  };
  for (const o of $('enroll-option').options) o.value = String(enrollOption(o.dataset.option));
  // A parameter of `keyword`'s `option` made of its fields' values; a value
  // that does not fit its field is refused.
  const pack = (keyword, option, values) => {
    let out = 0;
    for (const f of VOCABULARY.commands[keyword].fields[option]) {
      const v = values[f.name] || 0;
      if (!Number.isInteger(v) || v < 0 || v >= 2 ** f.bits) throw new Error(f.name + ' does not fit ' + keyword + ' ' + option);
      out += v * 2 ** f.shift;
    }
    return out;
  };
  const RECONNECT_MS = 2000;
  const EVENTS_KEPT = 200;

  const state = {
    ws: null,
    nextId: 1,
    pending: new Map(), // id -> {resolve, reject, onStep}
    token: null,
    loginNeeded: false,
    ready: false,
    devices: null,
    directory: true, // whether the service keeps a directory of people
    people: new Map(), // user ID -> {name, note}
    templates: new Map(), // module key -> Map(user ID -> templates)
    image: null, // {bytes, width, height} of the Images page
  };

  // ---- the connection --------------------------------------------------

  // The token: from the address's fragment (#token=..., as kelvord logs the
  // station's address), kept for this tab alone and taken off the address bar
  // at once, so that it is neither bookmarked nor shown; else the one this
  // tab logged in with before.
  const TOKEN_KEY = 'kelvord-token';

  function tokenOfFragment() {
    const given = new URLSearchParams(location.hash.slice(1)).get('token');
    if (given === null) return null;
    history.replaceState(null, '', location.pathname + location.search);
    return given.trim() || null;
  }

  function takeToken() {
    const given = tokenOfFragment();
    if (given) {
      storeToken(given);
      return given;
    }
    try {
      return sessionStorage.getItem(TOKEN_KEY);
    } catch (e) {
      return null;
    }
  }

  function storeToken(token) {
    try {
      if (token === null) sessionStorage.removeItem(TOKEN_KEY);
      else sessionStorage.setItem(TOKEN_KEY, token);
    } catch (e) {
      // Storage refused (a private window's rule): the token lasts as long as the page.
    }
  }

  // Every connection begins with the token: nothing else is sent before the
  // service has taken it, and without one no connection is made at all.
  function connect() {
    if (state.token === null) {
      showLogin('');
      return;
    }
    const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
    const ws = new WebSocket(scheme + '//' + location.host + '/ws');
    state.ws = ws;
    ws.onopen = () => {
      request({ class: 'auth', token: state.token }).then(started, (e) => {
        // A connection that ended before the answer is tried again with the same token.
        if (!e.ended) refusedLogin(e.message);
      });
    };
    ws.onmessage = (m) => received(m.data);
    ws.onclose = () => {
      if (state.ws !== ws) return; // one given up for a new login
      state.ws = null;
      state.ready = false;
      endPending();
      if (state.loginNeeded) return;
      setLineState('lost', 'No connection to the service: trying again…');
      setTimeout(connect, RECONNECT_MS);
    };
  }

  function endPending() {
    for (const p of state.pending.values()) {
      const e = new Error('the connection to the service ended');
      e.ended = true;
      p.reject(e);
    }
    state.pending.clear();
  }

  function received(text) {
    let o;
    try {
      o = JSON.parse(text);
    } catch (e) {
      return;
    }
    if (o.class === 'event') {
      onEvent(o);
      return;
    }
    if (o.class === 'cancel') return; // the job's own answer, before or after it, ends the job
    const p = state.pending.get(o.id);
    if (!p) {
      if (o.class === 'error') notice(o.message);
      return;
    }
    if (o.class === 'step') {
      if (p.onStep) p.onStep(o);
      return;
    }
    state.pending.delete(o.id);
    if (o.class === 'error') p.reject(new Error(o.message));
    else p.resolve(o);
  }

  // Sends one request; its answer resolves the promise, an error object
  // rejects it. `onSent` is told the request's id as it goes.
  function request(obj, onStep, onSent) {
    return new Promise((resolve, reject) => {
      if (!state.ws || state.ws.readyState !== WebSocket.OPEN) {
        reject(new Error('not connected to the service'));
        return;
      }
      const id = state.nextId++;
      state.pending.set(id, { resolve, reject, onStep });
      state.ws.send(JSON.stringify(Object.assign({ id }, obj)));
      if (onSent) onSent(id);
    });
  }

  // Asks the service to stop the job of the request `id`. Its answer bears
  // that same id: it is taken here, never as the job's own answer, which
  // comes after it (an error or an outcome) and ends the job either way.
  function cancel(id) {
    if (!state.ws || state.ws.readyState !== WebSocket.OPEN || !state.pending.has(id)) return false;
    state.ws.send(JSON.stringify({ class: 'cancel', id }));
    return true;
  }

  // A command of the module; rejected with the module's message when it did not succeed.
  async function command(code, moduleId, members, onStep, onSent) {
    const a = await request(Object.assign({ class: 'command', command: code, module_id: moduleId }, members || {}), onStep, onSent);
    if (a.outcome !== 'ok') {
      const e = new Error(a.message || a.result_name || 'the command failed');
      e.answer = a;
      throw e;
    }
    return a;
  }

  async function started() {
    state.loginNeeded = false;
    state.ready = true;
    $('login').hidden = true;
    $('app').hidden = false;
    try {
      await request({ class: 'watch', enable: true });
      await refreshAll();
    } catch (e) {
      notice(e.message);
    }
  }

  // ---- login -------------------------------------------------------------

  function showLogin(message) {
    state.loginNeeded = true;
    $('app').hidden = true;
    $('login').hidden = false;
    $('login-message').textContent = message;
    setLineState('lost', 'Log in to use the station');
    $('login-token').focus();
  }

  // A refused token is forgotten; the form says why. The service ends the
  // connection after a refusal.
  function refusedLogin(message) {
    state.token = null;
    storeToken(null);
    showLogin(message === 'wrong token' ? 'The token is not the service\'s.' : 'The service refused the token: ' + message);
  }

  // A new connection with this token, the one before given up.
  function logIn(token) {
    state.token = token;
    storeToken(token);
    $('login-message').textContent = 'Logging in…';
    state.loginNeeded = false;
    if (state.ws) {
      const old = state.ws;
      state.ws = null;
      endPending();
      old.close();
    }
    connect();
  }

  $('login-form').addEventListener('submit', (ev) => {
    ev.preventDefault();
    const token = $('login-token').value.trim();
    $('login-token').value = '';
    if (token) logIn(token);
  });

  // The address of a new start of kelvord pasted into this tab: only its
  // fragment differs, so the page is not loaded again.
  window.addEventListener('hashchange', () => {
    const token = tokenOfFragment();
    if (token) logIn(token);
  });

  // ---- what the page shows everywhere -------------------------------------

  function notice(message, kind) {
    const n = $('notice');
    n.textContent = message;
    n.className = 'notice ' + (kind || 'error');
    n.hidden = !message;
  }

  function setLineState(kind, text) {
    const s = $('line-state');
    s.textContent = text;
    s.className = 'line-state ' + kind;
  }

  function el(tag, attrs, ...children) {
    const e = document.createElement(tag);
    for (const [k, v] of Object.entries(attrs || {})) {
      if (k === 'class') e.className = v;
      else if (k === 'text') e.textContent = v;
      else if (k.startsWith('on')) e.addEventListener(k.slice(2), v);
      else if (v !== false && v !== null && v !== undefined) e.setAttribute(k, v === true ? '' : v);
    }
    for (const c of children) if (c !== null && c !== undefined) e.append(c);
    return e;
  }

  const hex = (n) => '0x' + Number(n).toString(16);
  const moduleKey = (id) => (id === null || id === undefined ? 'line' : String(id));
  const moduleLabel = (id) => (id === null || id === undefined ? 'The module' : 'Module ' + id);
  const personName = (userId) => (state.people.has(userId) ? state.people.get(userId).name : null);
  const who = (userId, name) => {
    const n = name || personName(userId);
    return n ? n + ' (user ' + userId + ')' : 'user ' + userId;
  };

  // Runs an action of a button: disabled while it runs, its failure shown.
  async function busy(button, action) {
    const buttons = Array.isArray(button) ? button : [button];
    for (const b of buttons) b.disabled = true;
    notice('');
    try {
      return await action();
    } catch (e) {
      notice(e.message);
      return undefined;
    } finally {
      for (const b of buttons) b.disabled = false;
    }
  }

  // Asks before something that cannot be undone.
  function confirmAction(text, okLabel) {
    const d = $('confirm');
    $('confirm-text').textContent = text;
    $('confirm-ok').textContent = okLabel || 'OK';
    return new Promise((resolve) => {
      d.addEventListener('close', () => resolve(d.returnValue === 'ok'), { once: true });
      d.returnValue = 'cancel';
      d.showModal();
      $('confirm-cancel').focus();
    });
  }

  // ---- tabs ----------------------------------------------------------------

  const tabs = Array.from(document.querySelectorAll('[role=tab]'));

  function selectTab(tab, focus) {
    for (const t of tabs) {
      const on = t === tab;
      t.setAttribute('aria-selected', on ? 'true' : 'false');
      t.tabIndex = on ? 0 : -1;
      $(t.getAttribute('aria-controls')).hidden = !on;
    }
    if (focus) tab.focus();
    if (state.ready) {
      if (tab.id === 'tab-people') refreshPeople().catch((e) => notice(e.message));
      if (tab.id === 'tab-line') refreshLine().catch((e) => notice(e.message));
    }
  }

  for (const t of tabs) {
    t.addEventListener('click', () => selectTab(t, false));
    t.addEventListener('keydown', (ev) => {
      const i = tabs.indexOf(t);
      let next = null;
      if (ev.key === 'ArrowRight') next = tabs[(i + 1) % tabs.length];
      else if (ev.key === 'ArrowLeft') next = tabs[(i + tabs.length - 1) % tabs.length];
      else if (ev.key === 'Home') next = tabs[0];
      else if (ev.key === 'End') next = tabs[tabs.length - 1];
      if (next) {
        ev.preventDefault();
        selectTab(next, true);
      }
    });
  }

  // ---- the line and its modules ----------------------------------------------

  async function refreshAll() {
    await refreshLine();
    await refreshPeople();
  }

  function fillModuleSelects() {
    const modules = state.devices ? state.devices.modules : [];
    for (const s of document.querySelectorAll('select.modules')) {
      const before = s.value;
      s.replaceChildren(...modules.map((m) => el('option', { value: moduleKey(m.module_id), text: moduleLabel(m.module_id) })));
      if (Array.from(s.options).some((o) => o.value === before)) s.value = before;
    }
  }

  const selectedModule = (select) => (select.value === 'line' || select.value === '' ? null : Number(select.value));

  async function readParameter(moduleId, parameter) {
    try {
      return (await command('SR', moduleId, { flag: parameter })).values.value;
    } catch (e) {
      return null;
    }
  }

  async function refreshLine() {
    const d = await request({ class: 'devices' });
    state.devices = d;
    showDevices(d);
    fillModuleSelects();
    const body = $('modules-table').tBodies[0];
    const rows = [];
    for (const m of d.modules) {
      const info = { firmware: null, enrolled: null, available: null, enrollMode: null, freeScan: null };
      if (d.state === 'open' && m.state === 'ok') {
        info.firmware = await readParameter(m.module_id, PARAM.FIRMWARE);
        info.enrolled = await readParameter(m.module_id, PARAM.ENROLLED);
        info.available = await readParameter(m.module_id, PARAM.AVAILABLE);
        info.enrollMode = await readParameter(m.module_id, PARAM.ENROLL_MODE);
        info.freeScan = await readParameter(m.module_id, PARAM.FREE_SCAN);
      }
      const cell = (label, value) => el('td', { 'data-label': label, text: value === null ? '—' : String(value) });
      rows.push(el('tr', {},
        el('th', { scope: 'row', 'data-label': 'Module', text: moduleLabel(m.module_id) }),
        cell('State', m.state),
        cell('Status', m.status_name || (m.status === undefined ? null : hex(m.status))),
        cell('Firmware', info.firmware === null ? null : hex(info.firmware)),
        cell('Templates enrolled', info.enrolled),
        cell('Free', info.available),
        cell('Enroll mode', info.enrollMode === null ? null : String.fromCharCode(info.enrollMode)),
        cell('Free scan', info.freeScan === null ? null : info.freeScan === OFF ? 'off' : 'on')));
    }
    body.replaceChildren(...rows);
  }

  function showDevices(d) {
    const summary = d.port + ' at ' + d.baud + ' baud, ' + (d.network ? 'network mode' : 'one module') +
      (d.busy ? ', busy' : '');
    $('line-summary').textContent = summary;
    if (d.state === 'open') setLineState('open', 'Line open: ' + d.port);
    else setLineState('lost', 'Line ' + d.state + ': ' + d.port + (d.reason ? ': ' + d.reason : ''));
    $('line-scan').disabled = !d.network;
    $('line-scan').title = d.network ? '' : 'A scan finds the modules of a line in network mode';
  }

  $('line-refresh').addEventListener('click', (ev) => busy(ev.currentTarget, refreshLine));
  $('line-scan').addEventListener('click', (ev) => busy(ev.currentTarget, async () => {
    $('scan-result').textContent = 'Scanning the line…';
    // 50 ms for each ID's answer: USB adapters of RS-485 lines add their own latency.
    const a = await request({ class: 'scan', first: 1, last: 255, wait_ms: 50 });
    const found = a.objects.filter((o) => o.kind === 'scan_module').map((o) => o.module_id);
    $('scan-result').textContent = found.length ? 'Modules found: ' + found.join(', ') : 'No module answered.';
  }));

  // ---- people ----------------------------------------------------------------

  async function refreshDirectory() {
    try {
      // The directory page by page: the service answers at most a page a request.
      const people = new Map();
      let after = null;
      for (;;) {
        const a = await request(after === null ? { class: 'people' } : { class: 'people', after });
        for (const p of a.people) people.set(p.user_id, p);
        if (a.next === null || a.next === undefined || a.people.length === 0) break;
        after = a.next;
      }
      state.directory = true;
      state.people = people;
    } catch (e) {
      state.directory = false;
      state.people = new Map();
    }
    $('person-form').hidden = !state.directory;
    $('no-directory').hidden = state.directory;
  }

  async function refreshTemplates() {
    state.templates = new Map();
    const modules = state.devices && state.devices.state === 'open' ? state.devices.modules : [];
    for (const m of modules) {
      if (m.state !== 'ok') continue;
      const users = new Map();
      try {
        const list = await command('LT', m.module_id);
        for (const u of list.values.user_ids) {
          let n = null;
          try {
            n = (await command('CT', m.module_id, { p1: u })).values.templates;
          } catch (e) {
            n = null;
          }
          users.set(u, n);
        }
      } catch (e) {
        // No user on the module answers "not found": an empty list.
        if (!e.answer || e.answer.result_name !== 'not_found') throw e;
      }
      state.templates.set(moduleKey(m.module_id), users);
    }
  }

  async function refreshPeople() {
    await refreshDirectory();
    await refreshTemplates();
    showPeople();
    fillPersonSelects();
  }

  function showPeople() {
    const modules = state.devices ? state.devices.modules.filter((m) => state.templates.has(moduleKey(m.module_id))) : [];
    const ids = new Set(state.people.keys());
    for (const users of state.templates.values()) for (const u of users.keys()) ids.add(u);
    const table = $('people-table');
    table.tHead.replaceChildren(el('tr', {},
      el('th', { scope: 'col', text: 'User ID' }), el('th', { scope: 'col', text: 'Name' }),
      el('th', { scope: 'col', text: 'Note' }),
      ...modules.map((m) => el('th', { scope: 'col', text: moduleLabel(m.module_id) + ': templates' })),
      el('th', { scope: 'col', text: 'Actions' })));
    const rows = [];
    let missing = 0;
    for (const id of Array.from(ids).sort((a, b) => a - b)) {
      const p = state.people.get(id);
      const counts = modules.map((m) => state.templates.get(moduleKey(m.module_id)).get(id));
      const somewhere = counts.some((c) => c !== undefined);
      const actions = el('td', { 'data-label': 'Actions', class: 'actions' });
      if (state.directory) {
        actions.append(el('button', { type: 'button', text: p ? 'Edit' : 'Name', 'aria-label': (p ? 'Edit ' : 'Name ') + who(id),
          onclick: () => editPerson(id) }));
      }
      modules.forEach((m, i) => {
        if (counts[i] === undefined) return;
        actions.append(el('button', { type: 'button', class: 'danger', text: 'Delete on ' + moduleLabel(m.module_id).toLowerCase(),
          'aria-label': 'Delete the templates of ' + who(id) + ' on ' + moduleLabel(m.module_id).toLowerCase(),
          onclick: (ev) => deleteTemplates(ev.currentTarget, id, m.module_id) }));
      });
      // Missing on a module while another has them: copied over, template by template data.
      const from = modules.find((m, i) => counts[i]);
      modules.forEach((m, i) => {
        if (counts[i] !== undefined || !from) return;
        actions.append(el('button', { type: 'button', text: 'Copy to ' + moduleLabel(m.module_id).toLowerCase(),
          'aria-label': 'Copy the templates of ' + who(id) + ' from ' + moduleLabel(from.module_id).toLowerCase() +
            ' to ' + moduleLabel(m.module_id).toLowerCase(),
          onclick: (ev) => copyTemplates(ev.currentTarget, id, from.module_id, m.module_id) }));
      });
      if (p) {
        actions.append(el('button', { type: 'button', class: 'danger', text: 'Forget the name',
          'aria-label': 'Remove ' + who(id) + ' from the directory', onclick: (ev) => forgetPerson(ev.currentTarget, id) }));
      }
      const cells = counts.map((c, i) => {
        const label = moduleLabel(modules[i].module_id) + ': templates';
        if (c !== undefined) return el('td', { 'data-label': label, text: c === null ? '?' : String(c) });
        if (somewhere) {
          missing++;
          return el('td', { 'data-label': label, class: 'missing', text: 'missing' });
        }
        return el('td', { 'data-label': label, text: '—' });
      });
      rows.push(el('tr', { 'data-user': id },
        el('th', { scope: 'row', 'data-label': 'User ID', text: String(id) }),
        el('td', { 'data-label': 'Name', text: p ? p.name : '(no name)', class: p ? '' : 'unnamed' }),
        el('td', { 'data-label': 'Note', text: p ? p.note : '' }),
        ...cells, actions));
    }
    table.tBodies[0].replaceChildren(...rows);
    $('people-summary').textContent = ids.size === 0 ? 'Nobody yet: give a user ID a name, then enroll a finger.'
      : ids.size + (ids.size === 1 ? ' user' : ' users') +
        (missing ? ', ' + missing + ' missing on a module where another of the line has them' : '');
  }

  function editPerson(id) {
    const p = state.people.get(id);
    $('person-id').value = String(id);
    $('person-name').value = p ? p.name : '';
    $('person-note').value = p ? p.note : '';
    $('person-name').focus();
  }

  async function deleteTemplates(button, id, moduleId) {
    if (!await confirmAction('Delete every template of ' + who(id) + ' on ' + moduleLabel(moduleId).toLowerCase() + '?', 'Delete')) return;
    await busy(button, async () => {
      await command('DT', moduleId, { p1: id });
      notice('The templates of ' + who(id) + ' are deleted on ' + moduleLabel(moduleId).toLowerCase() + '.', 'ok');
      await refreshPeople();
    });
  }

  // A user's templates read from one module (RT) and enrolled as they are on another (ETX).
  async function copyTemplates(button, id, fromId, toId) {
    await busy(button, async () => {
      const count = (await command('CT', fromId, { p1: id })).values.templates;
      const data = (await command('RT', fromId, { p1: id, output_file: 'templates.bin' })).output;
      const bytes = base64Bytes(data).length;
      if (!count || !bytes || bytes > 0xffff || count > 0xffff) throw new Error('The templates of ' + who(id) + ' cannot be copied (' + count + ' templates, ' + bytes + ' bytes).');
      await command('ETX', toId, { p1: id, p2: pack('ETX', '-p2', { count, size: bytes }), flag: enrollOption('Add New Template'), input: data, input_file: 'templates.bin' });
      notice('Copied ' + count + (count === 1 ? ' template' : ' templates') + ' of ' + who(id) + ' to ' + moduleLabel(toId).toLowerCase() + '.', 'ok');
      await refreshPeople();
    });
  }

  async function forgetPerson(button, id) {
    if (!await confirmAction('Remove the name of ' + who(id) + ' from the directory? The templates on the modules stay.', 'Remove')) return;
    await busy(button, async () => {
      await request({ class: 'person_remove', user_id: id });
      notice('User ' + id + ' has no name any more.', 'ok');
      await refreshPeople();
    });
  }

  $('person-form').addEventListener('submit', (ev) => {
    ev.preventDefault();
    busy(ev.submitter || $('person-save'), async () => {
      const a = await request({ class: 'person_set', user_id: Number($('person-id').value),
        name: $('person-name').value, note: $('person-note').value });
      notice('Saved: ' + who(a.person.user_id, a.person.name) + '.', 'ok');
      await refreshPeople();
    });
  });
  $('people-refresh').addEventListener('click', (ev) => busy(ev.currentTarget, refreshPeople));

  function fillPersonSelects() {
    for (const s of [$('enroll-person'), $('test-person')]) {
      const before = s.value;
      const ids = new Set(state.people.keys());
      for (const users of state.templates.values()) for (const u of users.keys()) ids.add(u);
      s.replaceChildren(...Array.from(ids).sort((a, b) => a - b)
        .map((id) => el('option', { value: String(id), text: who(id) })));
      if (Array.from(s.options).some((o) => o.value === before)) s.value = before;
    }
  }

  // ---- images ----------------------------------------------------------------

  function base64Bytes(text) {
    const raw = atob(text);
    const bytes = new Uint8Array(raw.length);
    for (let i = 0; i < raw.length; i++) bytes[i] = raw.charCodeAt(i);
    return bytes;
  }

  // The pixels of a BMP file as the tool writes it (and of 24 and 32 bits).
  function decodeBmp(bytes) {
    const v = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    if (bytes.length < 54 || v.getUint16(0, true) !== 0x4d42) throw new Error('the image is no BMP file');
    const offset = v.getUint32(10, true);
    const headerSize = v.getUint32(14, true);
    const width = v.getInt32(18, true);
    const rawHeight = v.getInt32(22, true);
    const bits = v.getUint16(28, true);
    const height = Math.abs(rawHeight);
    if (width <= 0 || height === 0 || width * height > 4 << 20 || ![8, 24, 32].includes(bits)) {
      throw new Error('the image is a BMP file of a kind the page does not show (' + bits + ' bits)');
    }
    const stride = Math.floor((width * bits + 31) / 32) * 4;
    if (offset + stride * height > bytes.length) throw new Error('the BMP file is cut short');
    const palette = [];
    if (bits === 8) {
      const start = 14 + headerSize;
      for (let i = 0; i < 256 && start + i * 4 + 3 < offset; i++) {
        palette.push([bytes[start + i * 4 + 2], bytes[start + i * 4 + 1], bytes[start + i * 4]]);
      }
    }
    const rgba = new Uint8ClampedArray(width * height * 4);
    for (let y = 0; y < height; y++) {
      const row = offset + (rawHeight > 0 ? height - 1 - y : y) * stride;
      for (let x = 0; x < width; x++) {
        let r, g, b;
        if (bits === 8) {
          const i = bytes[row + x];
          [r, g, b] = palette[i] || [i, i, i];
        } else {
          const p = row + x * (bits / 8);
          [b, g, r] = [bytes[p], bytes[p + 1], bytes[p + 2]];
        }
        const o = (y * width + x) * 4;
        rgba[o] = r;
        rgba[o + 1] = g;
        rgba[o + 2] = b;
        rgba[o + 3] = 255;
      }
    }
    return { width, height, rgba };
  }

  // A figure with the image drawn at its real size, its caption and dimensions.
  function imageFigure(bytes, caption) {
    const img = decodeBmp(bytes);
    const canvas = el('canvas', { width: img.width, height: img.height, role: 'img',
      'aria-label': caption + ', ' + img.width + ' × ' + img.height + ' pixels' });
    canvas.style.width = img.width + 'px';
    canvas.getContext('2d').putImageData(new ImageData(img.rgba, img.width, img.height), 0, 0);
    return { figure: el('figure', { class: 'image' }, canvas, el('figcaption', { text: caption + ' · ' + img.width + ' × ' + img.height + ' pixels' })), img };
  }

  // The image a command's answer carries (read_image), as a figure; null when none.
  function answerImage(answer, caption) {
    const image = answer && answer.image;
    if (!image || image.outcome !== 'ok' || !image.output) return null;
    try {
      return imageFigure(base64Bytes(image.output), caption).figure;
    } catch (e) {
      return el('p', { class: 'error', text: e.message });
    }
  }

  function download(bytes, name, type) {
    const url = URL.createObjectURL(new Blob([bytes], { type }));
    const a = el('a', { href: url, download: name });
    document.body.append(a);
    a.click();
    a.remove();
    setTimeout(() => URL.revokeObjectURL(url), 10000);
  }

  async function showImage(code) {
    const moduleId = selectedModule($('image-module'));
    $('image-view').replaceChildren(el('p', { class: 'prompt', text: code === 'SI' ? 'Place a finger on the sensor…' : 'Reading the image…' }));
    try {
      const a = await command(code, moduleId, { output_file: 'image.bmp' });
      const bytes = base64Bytes(a.output);
      const { figure, img } = imageFigure(bytes, code === 'SI' ? 'Captured on ' + moduleLabel(moduleId).toLowerCase() : 'The last image of ' + moduleLabel(moduleId).toLowerCase());
      state.image = { bytes, width: img.width, height: img.height };
      $('image-view').replaceChildren(figure);
      $('image-save').disabled = false;
    } catch (e) {
      $('image-view').replaceChildren();
      throw e;
    }
  }

  $('image-form').addEventListener('submit', (ev) => {
    ev.preventDefault();
    busy([$('image-capture'), $('image-last')], () => showImage('SI'));
  });
  $('image-last').addEventListener('click', () => busy([$('image-capture'), $('image-last')], () => showImage('RI')));
  $('image-save').addEventListener('click', () => {
    if (state.image) download(state.image.bytes, 'image.bmp', 'image/bmp');
  });

  // The Cancel button of a page: usable while the page's request runs, it asks
  // the service to stop that request's job. `asked` tells the page, when the
  // job's answer comes, that the person stopped it.
  function canceller(button) {
    const c = { id: null, asked: false };
    c.start = () => {
      c.asked = false;
    };
    c.sent = (id) => {
      c.id = id;
      button.disabled = c.asked;
    };
    c.done = () => {
      c.id = null;
      button.disabled = true;
    };
    button.addEventListener('click', () => {
      if (c.id !== null && cancel(c.id)) {
        c.asked = true;
        button.disabled = true;
      }
    });
    return c;
  }

  // ---- enroll ----------------------------------------------------------------

  const enrollJob = canceller($('enroll-cancel'));

  function enrollPrompt(text, kind) {
    const p = $('enroll-prompt');
    p.textContent = text;
    p.className = 'prompt ' + (kind || '');
  }

  function enrollStep(text, kind) {
    $('enroll-steps').append(el('li', { class: kind || '', text }));
  }

  let enrollScans = 0;

  async function enroll() {
    const userId = Number($('enroll-person').value);
    const moduleId = selectedModule($('enroll-module'));
    const option = Number($('enroll-option').value);
    if (!$('enroll-person').value) throw new Error('Choose a person first (give a user ID a name on the People page).');
    const name = who(userId);
    enrollJob.start();
    enrollPrompt('Place the finger on the sensor of ' + moduleLabel(moduleId).toLowerCase() + '.', 'wait');
    enrollStep('Asked ' + moduleLabel(moduleId).toLowerCase() + ' to enroll ' + name + '.');
    let scans = 0;
    const onStep = (s) => {
      if (s.flag_name === 'scan_success') {
        scans++;
        enrollStep('Scan ' + scans + ' is good.', 'ok');
        enrollPrompt('Lift the finger.', 'wait');
      } else if (s.flag_name === 'ok') {
        enrollStep('The module took the scan.', 'ok');
        enrollPrompt('Lift the finger and place it again.', 'wait');
      } else if (s.flag_name === 'enroll_continue') {
        enrollStep('The administrator is verified.', 'ok');
        enrollPrompt('Place the finger to enroll.', 'wait');
      }
    };
    let a;
    try {
      a = await command('ES', moduleId, { p1: userId, flag: option, steps: true, read_image: true }, onStep,
        enrollJob.sent);
    } catch (e) {
      enrollJob.done();
      if (enrollJob.asked) {
        enrollStep('Cancelled.', 'error');
        enrollPrompt('Cancelled: nothing was enrolled. Start again when the person is ready.', '');
        $('enroll-again').hidden = false;
        return;
      }
      const why = e.answer ? e.answer.result_name : '';
      if (e.answer) {
        const figure = answerImage(e.answer, 'Try ' + (++enrollScans) + ', refused');
        if (figure) $('enroll-images').append(figure);
      }
      if (why === 'try_again' || why === 'scan_failed') {
        enrollStep(e.message, 'error');
        enrollPrompt('Try again: ' + e.message + '. Press “Scan again” and place the finger.', 'error');
        $('enroll-again').hidden = false;
        return;
      }
      if (why === 'finger_already_enrolled') {
        enrollStep(e.message, 'error');
        enrollPrompt('Keep the finger on the sensor: finding whose finger it is…', 'wait');
        try {
          const id = await command('IS', moduleId, {}, null, enrollJob.sent);
          enrollPrompt('Already enrolled as ' + who(id.values.user_id) + '.', 'error');
        } catch (e2) {
          enrollPrompt(enrollJob.asked ? 'Already enrolled.' : 'Already enrolled (' + e2.message + ').', 'error');
        } finally {
          enrollJob.done();
        }
        return;
      }
      enrollStep(e.message, 'error');
      enrollPrompt('Not enrolled: ' + e.message, 'error');
      $('enroll-again').hidden = false;
      return;
    }
    enrollJob.done();
    const figure = answerImage(a, 'Enrollment ' + (++enrollScans) + ' of ' + name);
    if (figure) $('enroll-images').append(figure);
    enrollStep('Enrolled ' + who(a.values.user_id !== undefined ? a.values.user_id : userId) + '.', 'ok');
    enrollPrompt('Enrolled: ' + name + ' on ' + moduleLabel(moduleId).toLowerCase() + '. “Scan again” adds another template.', 'ok');
    $('enroll-again').hidden = false;
    refreshPeople().catch(() => {});
  }

  $('enroll-form').addEventListener('submit', (ev) => {
    ev.preventDefault();
    $('enroll-steps').replaceChildren();
    $('enroll-images').replaceChildren();
    enrollScans = 0;
    $('enroll-again').hidden = true;
    busy([$('enroll-start'), $('enroll-again')], enroll);
  });
  $('enroll-again').addEventListener('click', () => busy([$('enroll-start'), $('enroll-again')], enroll));

  // ---- test ------------------------------------------------------------------

  function syncTestKind() {
    $('test-person').disabled = $('test-kind').value !== 'verify';
  }
  $('test-kind').addEventListener('change', syncTestKind);

  const testJob = canceller($('test-cancel'));

  $('test-form').addEventListener('submit', (ev) => {
    ev.preventDefault();
    testJob.start();
    busy($('test-start'), async () => {
      const moduleId = selectedModule($('test-module'));
      const verify = $('test-kind').value === 'verify';
      const result = $('test-result');
      result.className = 'prompt wait';
      result.textContent = 'Place the finger on the sensor of ' + moduleLabel(moduleId).toLowerCase() + '.';
      $('test-image').replaceChildren();
      let a;
      try {
        a = verify ? await command('VS', moduleId, { p1: Number($('test-person').value), read_image: true }, null, testJob.sent)
          : await command('IS', moduleId, { read_image: true }, null, testJob.sent);
      } catch (e) {
        testJob.done();
        if (testJob.asked) {
          result.className = 'prompt';
          result.textContent = 'Cancelled.';
          return;
        }
        result.className = 'prompt error';
        result.textContent = (verify ? 'Not verified: ' : 'Not identified: ') + e.message;
        const figure = e.answer ? answerImage(e.answer, 'The finger scanned') : null;
        if (figure) $('test-image').append(figure);
        return;
      }
      testJob.done();
      result.className = 'prompt ok';
      result.textContent = (verify ? 'Verified: ' : 'Identified: ') + who(a.values.user_id) + ', score ' + a.values.score;
      const figure = answerImage(a, 'The finger scanned');
      if (figure) $('test-image').append(figure);
    });
  });

  // ---- events ------------------------------------------------------------------

  function eventText(e) {
    switch (e.kind) {
      case 'identify': return 'Identified ' + who(e.user_id, e.name) + ', score ' + e.score;
      case 'duress': return 'Duress finger of ' + who(e.user_id, e.name);
      case 'not_found': return 'A finger nobody enrolled';
      case 'scan_failed': return 'The scan failed';
      case 'scan_success': return 'A finger scanned';
      case 'timeout': return 'No finger in time';
      case 'text': return 'The module says: ' + e.text;
      case 'noise': return 'Bytes of no packet: ' + e.bytes;
      case 'packet': return 'Packet ' + (e.command || hex(e.code)) + ', flag ' + (e.flag_name || hex(e.flag));
      case 'line': return 'Line ' + e.state + ': ' + e.port + (e.reason ? ': ' + e.reason : '');
      default: return e.kind;
    }
  }

  function onEvent(e) {
    const list = $('events-list');
    const time = e.time ? e.time.replace('T', ' ').replace('Z', ' UTC') : '';
    const li = el('li', { class: 'event ' + e.kind + (e.kind === 'line' ? ' ' + e.state : '') },
      el('time', { datetime: e.time, text: time }),
      e.module_id !== null && e.module_id !== undefined ? el('span', { class: 'module', text: moduleLabel(e.module_id) }) : null,
      el('span', { class: 'what', text: eventText(e) }));
    list.prepend(li);
    while (list.children.length > EVENTS_KEPT) list.lastElementChild.remove();
    if (e.kind === 'line') {
      if (e.state === 'lost') setLineState('lost', 'Line lost: ' + e.port + (e.reason ? ': ' + e.reason : ''));
      else setLineState('open', 'Line ' + e.state + ': ' + e.port);
      if (e.state !== 'lost') refreshLine().catch(() => {});
      else if (state.devices) {
        state.devices.state = 'lost';
        $('modules-table').tBodies[0].querySelectorAll('td:nth-of-type(1)').forEach((td) => { td.textContent = 'lost'; });
      }
    }
  }

  async function setFreeScan(on) {
    const moduleId = selectedModule($('freescan-module'));
    await command('SW', moduleId, { flag: PARAM.FREE_SCAN, p2: on ? ON : OFF });
    notice('Free scan is ' + (on ? 'on' : 'off') + ' on ' + moduleLabel(moduleId).toLowerCase() + '.', 'ok');
  }
  $('freescan-on').addEventListener('click', (ev) => busy(ev.currentTarget, () => setFreeScan(true)));
  $('freescan-off').addEventListener('click', (ev) => busy(ev.currentTarget, () => setFreeScan(false)));
  $('events-clear').addEventListener('click', () => $('events-list').replaceChildren());

  // ---- backup and restore --------------------------------------------------------

  // A tar archive (ustar) of one directory of files, as `tar xf` takes it.
  function tarOf(directory, files) {
    const enc = new TextEncoder();
    const blocks = [];
    const header = (name, size, type, mode) => {
      const h = new Uint8Array(512);
      const put = (text, at, len) => h.set(enc.encode(text).slice(0, len), at);
      const octal = (n, len) => n.toString(8).padStart(len - 1, '0');
      put(name, 0, 100);
      put(octal(mode, 8), 100, 8);
      put(octal(0, 8), 108, 8);
      put(octal(0, 8), 116, 8);
      put(octal(size, 12), 124, 12);
      put(octal(Math.floor(Date.now() / 1000), 12), 136, 12);
      put('        ', 148, 8);
      put(type, 156, 1);
      put('ustar\u000000', 257, 8);
      let sum = 0;
      for (const b of h) sum += b;
      put(sum.toString(8).padStart(6, '0') + '\u0000 ', 148, 8);
      return h;
    };
    blocks.push(header(directory + '/', 0, '5', 0o755));
    for (const f of files) {
      blocks.push(header(directory + '/' + f.name, f.data.length, '0', 0o644));
      const padded = new Uint8Array(Math.ceil(f.data.length / 512) * 512);
      padded.set(f.data);
      blocks.push(padded);
    }
    blocks.push(new Uint8Array(1024));
    return new Blob(blocks, { type: 'application/x-tar' });
  }

  // The files of a tar archive of one directory: [{name, data}], its directory's name.
  function filesOfTar(bytes) {
    const dec = new TextDecoder();
    const text = (at, len) => dec.decode(bytes.subarray(at, at + len)).replace(/\u0000.*$/s, '');
    const files = [];
    let directory = null;
    for (let at = 0; at + 512 <= bytes.length;) {
      if (bytes.subarray(at, at + 512).every((b) => b === 0)) break;
      const name = (text(at + 345, 155) ? text(at + 345, 155) + '/' : '') + text(at, 100);
      const size = parseInt(text(at + 124, 12).trim() || '0', 8);
      const type = text(at + 156, 1) || '0';
      if (!Number.isSafeInteger(size) || size < 0 || at + 512 + size > bytes.length) throw new Error('the archive is cut short or damaged');
      const parts = name.split('/').filter((p) => p !== '');
      if (type === '5') {
        if (parts.length !== 1) throw new Error('the archive holds more than one directory');
        directory = parts[0];
      } else if (type === '0') {
        if (parts.length !== 2) throw new Error('the archive holds ' + name + ', not a file of one directory');
        if (directory !== null && parts[0] !== directory) throw new Error('the archive holds more than one directory');
        directory = parts[0];
        files.push({ name: parts[1], data: bytes.slice(at + 512, at + 512 + size) });
      } else if (type !== 'x' && type !== 'g') {
        throw new Error('the archive holds ' + name + ', which is no plain file');
      }
      at += 512 + Math.ceil(size / 512) * 512;
    }
    if (!files.length) throw new Error('the archive holds no file of a backup');
    return { directory, files };
  }

  function base64Of(bytes) {
    let s = '';
    for (let i = 0; i < bytes.length; i += 0x8000) s += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
    return btoa(s);
  }

  function workMessage(a) {
    const said = a.objects.map((o) => o.message).filter((m) => m);
    return said.length ? said[said.length - 1] : a.result_name;
  }

  $('backup-form').addEventListener('submit', (ev) => {
    ev.preventDefault();
    busy($('backup-download'), async () => {
      const moduleId = selectedModule($('backup-module'));
      const stamp = new Date().toISOString().replace(/[-:]/g, '').replace(/\..*/, '');
      const directory = 'backup-' + moduleKey(moduleId) + '-' + stamp;
      $('backup-result').textContent = 'Reading the templates of ' + moduleLabel(moduleId).toLowerCase() + '…';
      const a = await request({ class: 'backup', module_id: moduleId, directory });
      if (a.result !== 0) {
        $('backup-result').textContent = '';
        throw new Error('The backup failed: ' + workMessage(a));
      }
      const files = a.files.map((f) => ({ name: f.name, data: base64Bytes(f.data) }));
      download(tarOf(directory, files), directory + '.tar', 'application/x-tar');
      $('backup-result').textContent = 'Saved ' + directory + '.tar: ' + files.length + ' files.';
    });
  });

  $('restore-form').addEventListener('submit', (ev) => {
    ev.preventDefault();
    busy($('restore-start'), async () => {
      const file = $('restore-file').files[0];
      if (!file) throw new Error('Choose the backup file (.tar) first.');
      const moduleId = selectedModule($('restore-module'));
      const { directory, files } = filesOfTar(new Uint8Array(await file.arrayBuffer()));
      if (!await confirmAction('Restore ' + moduleLabel(moduleId).toLowerCase() + ' from ' + file.name + ' (' + files.length +
        ' files)? The templates of its users are replaced.', 'Restore')) return;
      $('backup-result').textContent = 'Restoring…';
      const a = await request({ class: 'restore', module_id: moduleId, directory: directory || 'backup',
        files: files.map((f) => ({ name: f.name, data: base64Of(f.data) })) });
      if (a.result !== 0) {
        $('backup-result').textContent = '';
        throw new Error('The restore failed: ' + workMessage(a));
      }
      $('backup-result').textContent = 'Restored ' + moduleLabel(moduleId).toLowerCase() + ' from ' + file.name + '.';
      await refreshPeople();
    });
  });

  syncTestKind();
  state.token = takeToken();
  connect();
})();
