// The dashboard page: signs an admin in, then shows the ingress snapshots the server streams,
// says at once when the stream stops and reconnects by itself, and raises the snapshot's alarms
// with a tone until the control room acknowledges them.
'use strict';

const SIGN_IN_PROC = 'Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo ';
const QUERY_PATH = '/objects/Nuvrel.member/Query';
const STALE_MS = 5000;      // no snapshot for this long: not live
const RETRY_MS = 2000;      // wait before reconnecting a broken stream
// The stands' names come with every snapshot (its blocks, in the server's order); each stand by
// its place in that order has its own colour (dashboard.css --stand-N) and its own dash, so that
// lines that cross or lie on one another stay apart; exits are the same line, thinner and faded.
const STANDS = [
  { color: '#4da3ff', faded: 'rgba(77, 163, 255, 0.5)', dash: [] },
  { color: '#2ecc71', faded: 'rgba(46, 204, 113, 0.5)', dash: [10, 5] },
  { color: '#ff9f40', faded: 'rgba(255, 159, 64, 0.5)', dash: [3, 4] },
  { color: '#e056fd', faded: 'rgba(224, 86, 253, 0.5)', dash: [12, 4, 3, 4] },
];
const REASONS = {
  'bad-mode': '잘못된 요청',
  'unknown-event': '잘못된 공연',
  'unknown-operator': '미등록 운영자',
  'inactive-event': '진행 중인 공연 아님',
  'unknown-ticket': '등록되지 않은 티켓',
  'cancelled': '취소된 티켓',
  'wrong-block': '입장 구역 아님',
  'already-inside': '이미 입장',
  'not-inside': '입장 기록 없음',
  'no-session': '로그인 안 된 단말',
  'not-session-operator': '다른 운영자로 로그인된 단말',
  'offline-conflict': '오프라인 검표 충돌',
};

const state = { source: null, lastMessage: 0, retry: null, chart: null, bizCode: '', utcOffsetMinutes: null, serverTime: 0 };
const $ = (id) => document.getElementById(id);
const number = (n) => Number(n).toLocaleString('ko-KR');
// Gate names in the order a person counts them: "2번 게이트" before "10번 게이트".
const byName = new Intl.Collator('ko', { numeric: true }).compare;
const pad = (n) => String(n).padStart(2, '0');
// Times in the server's zone, which the venue's logs and exports use too, whatever the zone of
// the machine that shows the page.
function clock(ms, seconds) {
  const offset = state.utcOffsetMinutes === null ? -new Date(ms).getTimezoneOffset() : state.utcOffsetMinutes;
  const t = new Date(ms + offset * 60000);
  return pad(t.getUTCHours()) + ':' + pad(t.getUTCMinutes()) + (seconds ? ':' + pad(t.getUTCSeconds()) : '');
}

function setLive(live, text) {
  const el = $('live');
  el.dataset.live = live ? 'true' : 'false';
  el.textContent = text || (live ? '실시간' : '연결 끊김');
}

function showSignIn(message) {
  stopStream();
  $('board').hidden = true;
  $('event').hidden = true;
  $('signin').hidden = false;
  $('signin-message').textContent = message || '';
  setLive(false, '로그인 필요');
}

function showBoard() {
  $('signin').hidden = true;
  $('board').hidden = false;
}

// The command text as the stations send it: values in apostrophes, apostrophes inside doubled.
function quoted(value) { return "'" + String(value).replace(/'/g, "''") + "'"; }

function fieldOf(recordset, name) {
  const i = recordset.fields.findIndex((f) => f.toLowerCase() === name.toLowerCase());
  return i < 0 || !recordset.rows.length ? null : String(recordset.rows[0][i]);
}

async function signIn(event) {
  event.preventDefault();
  const id = $('signin-id').value, password = $('signin-password').value;
  $('signin-button').disabled = true;
  $('signin-message').textContent = '';
  try {
    const res = await fetch(QUERY_PATH, {
      method: 'POST', credentials: 'same-origin',
      headers: { 'Content-Type': 'text/plain; charset=utf-8' },
      body: SIGN_IN_PROC + quoted(id) + ',' + quoted(password),
    });
    const body = await res.json().catch(() => ({}));
    if (!res.ok) {
      $('signin-message').textContent = body.error || ('서버 오류 (' + res.status + ')');
      return;
    }
    if (fieldOf(body, 'ErrCode') !== '0') {
      $('signin-message').textContent = fieldOf(body, 'ErrMsg') || '로그인 실패';
      return;
    }
    $('signin-password').value = '';
    await load('관리자만 볼 수 있습니다');
  } catch (e) {
    $('signin-message').textContent = '서버에 연결할 수 없습니다';
  } finally {
    $('signin-button').disabled = false;
  }
}

function dataPath(base) {
  return state.bizCode ? base + '?bizcode=' + encodeURIComponent(state.bizCode) : base;
}

// Reads one snapshot; shows the sign-in form when the session is not an admin's.
async function load(refusedMessage) {
  let res;
  try {
    res = await fetch(dataPath('/api/v1/ingress'), { credentials: 'same-origin', cache: 'no-store' });
  } catch (e) {
    setLive(false);
    scheduleRetry();
    return;
  }
  if (res.status === 401) return showSignIn(refusedMessage);
  showBoard();
  if (res.ok) render(await res.json());
  else render({ event: null, serverTime: Date.now() });
  startStream();
}

function stopStream() {
  if (state.source) state.source.close();
  state.source = null;
  if (state.retry) clearTimeout(state.retry);
  state.retry = null;
}

function scheduleRetry() {
  stopStream();
  state.retry = setTimeout(() => { state.retry = null; load(); }, RETRY_MS);
}

function startStream() {
  stopStream();
  const source = new EventSource(dataPath('/api/v1/ingress/stream'));
  state.source = source;
  source.onmessage = (e) => {
    state.lastMessage = Date.now();
    setLive(true);
    render(JSON.parse(e.data));
  };
  // The browser would retry by itself, but not after an answer other than 200 (a session that
  // ended): the page goes through load() again, which also tells that case apart.
  source.onerror = () => {
    setLive(false);
    scheduleRetry();
  };
}

// A stream that stays silent (a server that stopped without closing, a network gone) is not live.
setInterval(() => {
  if (state.source && Date.now() - state.lastMessage > STALE_MS) setLive(false);
}, 1000);

function renderEvents(snapshot) {
  const select = $('event');
  const events = snapshot.events || [];
  select.hidden = events.length === 0;
  const chosen = snapshot.event ? snapshot.event.bizCode : '';
  // Without an event shown (none active), a first choice that is none lets any event be picked.
  const choices = (chosen ? [] : [{ bizCode: '', label: '공연 선택' }]).concat(events.map((e) => ({
    bizCode: e.bizCode, label: e.goodsName + ' (' + e.bizCode + ')' + (e.active ? ' · 진행 중' : ''),
  })));
  const wanted = choices.map((c) => c.bizCode + '|' + c.label).join('\n');
  if (select.dataset.events !== wanted) {
    select.dataset.events = wanted;
    select.replaceChildren(...choices.map((c) => {
      const option = document.createElement('option');
      option.value = c.bizCode;
      option.textContent = c.label;
      return option;
    }));
  }
  select.value = chosen;
}

function makeChart(names) {
  const datasets = [];
  names.forEach((block, i) => datasets.push({
    label: block + ' 입장', data: [], borderColor: STANDS[i].color, backgroundColor: STANDS[i].color,
    borderWidth: 2.5, borderDash: STANDS[i].dash, pointRadius: 0, tension: 0.2,
  }));
  names.forEach((block, i) => datasets.push({
    label: block + ' 퇴장', data: [], borderColor: STANDS[i].faded, backgroundColor: STANDS[i].faded,
    borderWidth: 1.5, borderDash: STANDS[i].dash, pointRadius: 0, tension: 0.2,
  }));
  return new Chart($('flow'), {
    type: 'line',
    data: { labels: [], datasets },
    options: {
      animation: false, responsive: true, maintainAspectRatio: false,
      interaction: { mode: 'index', intersect: false },
      scales: {
        x: { ticks: { color: '#9aa7b5', maxTicksLimit: window.innerWidth < 900 ? 6 : 12, maxRotation: 0, autoSkipPadding: 16 }, grid: { color: '#2c3642' } },
        y: { beginAtZero: true, ticks: { color: '#9aa7b5', precision: 0 }, grid: { color: '#2c3642' } },
      },
      plugins: { legend: { labels: { color: '#e8edf3', boxWidth: 34, boxHeight: 2 } } },
    },
  });
}

function renderChart(flow, blocks) {
  if (!window.Chart) return;
  if (!state.chart) state.chart = makeChart(blocks.map((b) => b.block));
  const chart = state.chart;
  chart.data.labels = flow.entries[0].map((_, i) => clock(flow.firstMinute + i * 60000, false));
  for (let b = 0; b < blocks.length; ++b) {
    chart.data.datasets[b].data = flow.entries[b];
    chart.data.datasets[blocks.length + b].data = flow.exits[b];
  }
  chart.update('none');
}

function cell(text, numeric) {
  const td = document.createElement('td');
  td.textContent = text;
  if (numeric) td.className = 'num';
  return td;
}

function renderTables(snapshot) {
  $('refusal-minutes').textContent = snapshot.refusalMinutes;
  $('gate-minutes').textContent = snapshot.gateMinutes;
  const refusals = snapshot.refusals || [];
  $('refusals').querySelector('tbody').replaceChildren(...refusals.map((r) => {
    const tr = document.createElement('tr');
    tr.dataset.reason = r.reason;
    tr.append(cell(REASONS[r.reason] || r.reason), cell(number(r.count), true));
    return tr;
  }));
  $('no-refusals').hidden = refusals.length > 0;
  renderGates(snapshot);
  renderStations(snapshot);
  // Addresses that asked without a session: never gates, whatever event they named.
  $('stranger-minutes').textContent = snapshot.strangerMinutes;
  const strangers = snapshot.strangers || [];
  $('strangers').querySelector('tbody').replaceChildren(...strangers.map((s) => {
    const tr = document.createElement('tr');
    tr.dataset.source = s.source;
    tr.append(cell(s.source === 'other addresses' ? '그 밖의 주소' : s.source), cell(number(s.checks), true),
      cell(number(s.placeSignIns), true), cell(number(s.statistics), true), cell(clock(s.lastSeen, true)));
    return tr;
  }));
  $('no-strangers').hidden = strangers.length > 0;
}

// A gate by its station's name and block; an address only for a station without a key.
function gateName(name, block) {
  const td = cell(name || '(알 수 없음)');
  td.className = 'name';
  if (block) {
    const tag = document.createElement('span');
    tag.className = 'block-tag';
    tag.textContent = block;
    td.append(tag);
  }
  return td;
}

// Gates in alarm first, then silent ones, then the rest by name: on a wall screen nobody scrolls.
// A hand-over's alarm tells of an outage that is over, not of a gate that needs someone now.
const GATE_ALARMS = new Set(['silent-gate', 'refusal-spike']);
function renderGates(snapshot) {
  const alarmed = new Set((snapshot.alarms || []).filter((a) => GATE_ALARMS.has(a.kind)).map((a) => a.subject));
  const rank = (g) => (alarmed.has(g.source) ? 0 : g.silent ? 1 : 2);
  const gates = (snapshot.gates || []).slice().sort((a, b) => rank(a) - rank(b) || byName(a.source, b.source));
  $('gates').querySelector('tbody').replaceChildren(...gates.map((g) => {
    const tr = document.createElement('tr');
    tr.dataset.source = g.source;
    if (alarmed.has(g.source)) tr.className = 'alarmed';
    else if (g.silent) tr.className = 'silent';
    const last = clock(g.lastCheck, true) + (g.silent ? ' ⚠ 무응답' : '');
    tr.append(gateName(g.source, g.block), cell(number(g.checks), true), cell(number(g.refusals), true), cell(last));
    return tr;
  }));
  $('no-gates').hidden = gates.length > 0;
}

// The station's name with a tag when it could go on checking offline now (a list of the shown
// event for its block, younger than the event's offline max age) or its list has grown too old.
function stationName(st, offline) {
  const td = gateName(st.name, st.block);
  if (st.browser) {
    const tag = document.createElement('span');
    tag.className = 'browser-tag';
    tag.textContent = '브라우저';
    tag.title = '검표 페이지 (/station/)';
    td.append(tag);
  }
  if (!offline || !offline.on || !st.listFetchedAt) return td;
  const minutes = Math.max(0, Math.floor((state.serverTime - st.listFetchedAt) / 60000));
  const tag = document.createElement('span');
  tag.className = 'offline-tag';
  tag.dataset.ready = st.offlineReady ? 'true' : 'false';
  tag.textContent = st.offlineReady ? '오프라인 준비' : '목록 오래됨';
  tag.title = '오프라인 목록 ' + minutes + '분 전';
  td.append(tag);
  return td;
}

// The station's last request (written once a minute at most), marked when it has gone silent.
function seenCell(st) {
  const td = cell(st.lastSeen ? (st.silent ? '⚠ ' : '') + clock(st.lastSeen, false) : '-');
  if (st.silent) td.className = 'silent';
  return td;
}

// A one-time code for a browser station: its operator types it into the station page's sign-in
// within the code's minutes, and that browser becomes the named station.
async function enrolStation() {
  const name = (prompt('새 단말 이름 (예: 3번 게이트 폰)') || '').trim();
  if (!name) return;
  const block = (prompt('구역 (E석, N석, S석, W석; 전체는 빈칸)') || '').trim();
  const shown = $('enrol-code');
  shown.hidden = false;
  try {
    const res = await fetch('/api/v1/stations/enrol', {
      method: 'POST', credentials: 'same-origin', headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(block ? { name, block } : { name }),
    });
    const body = await res.json().catch(() => ({}));
    shown.dataset.code = res.ok ? body.code : '';
    shown.textContent = res.ok ? `${name}: 등록 코드 ${body.code} (${body.minutes}분 안에 /station/ 로그인에서 입력)`
                               : (body.error || '서버 오류 (' + res.status + ')');
  } catch (e) {
    shown.textContent = '서버에 연결할 수 없습니다';
  }
}

// The registered stations: the ones nobody is signed in at first, then those signed in.
function renderStations(snapshot) {
  const stations = (snapshot.stations || []).slice().sort((a, b) => byName(a.name, b.name));
  const on = stations.filter((st) => st.operator), off = stations.filter((st) => !st.operator);
  $('stations-on').textContent = on.length;
  $('stations-off').textContent = off.length;
  $('stations').querySelector('tbody').replaceChildren(...off.concat(on).map((st) => {
    const tr = document.createElement('tr');
    tr.dataset.station = st.name;
    tr.dataset.signedIn = st.operator ? 'true' : 'false';
    tr.dataset.offlineReady = st.offlineReady ? 'true' : 'false';
    tr.dataset.silent = st.silent ? 'true' : 'false';
    tr.dataset.browser = st.browser ? 'true' : 'false';
    if (!st.operator) tr.className = 'off';
    tr.append(stationName(st, snapshot.offline), cell(st.operator || '로그인 안 됨'),
      cell(st.signedInAt ? clock(st.signedInAt, false) + '부터' : ''),
      cell(st.lastCheck ? clock(st.lastCheck, true) : '-'), seenCell(st));
    return tr;
  }));
  $('no-stations').hidden = stations.length > 0;
}

// The stand's card, made the first time the stand is shown; its figures' ids carry its index.
function standCard(i, name) {
  if ($('admitted-' + i)) return;
  const card = $('stand-card').content.firstElementChild.cloneNode(true);
  card.dataset.block = i;
  card.querySelector('h2').textContent = name;
  for (const el of card.querySelectorAll('[data-figure]')) el.id = el.dataset.figure + '-' + i;
  $('figures').append(card);
}

function renderCapacity(i, block) {
  const el = $('capacity-' + i);
  el.hidden = !block.capacity;
  if (!block.capacity) return;
  const percent = Math.floor((block.inside * 100) / block.capacity);
  el.textContent = '수용 ' + number(block.capacity) + ' · ' + percent + '%';
  el.dataset.level = percent >= 100 ? '100' : percent >= 95 ? '95' : '';
}

// Alarms. The page keeps what the control room acknowledged in localStorage by the alarm's id,
// which the server keeps for as long as the occurrence lasts: a reload raises nothing already
// acknowledged, and the same gate or stand going wrong again is a new id and is raised again.
const ACK_KEY = 'tav.acknowledgedAlarms';
const REMIND_MS = 10000;  // an alarm nobody acknowledged sounds again this often
const alarmState = { shown: [], sounded: new Set(), audio: null, tones: 0 };

function acknowledged() {
  try {
    const list = JSON.parse(localStorage.getItem(ACK_KEY) || '[]');
    return new Set(Array.isArray(list) ? list : []);
  } catch (e) {
    return new Set();
  }
}

function keepAcknowledged(set) {
  try {
    localStorage.setItem(ACK_KEY, JSON.stringify([...set]));
  } catch (e) { /* a private window without storage: acknowledgements last as long as the page */ }
}

// The alarm's key: its event's code and the server's id.
function alarmKey(alarm) { return (alarmState.bizCode || '') + '|' + alarm.id; }

function alarmText(a, rules) {
  const since = clock(a.since, false);
  if (a.kind === 'silent-gate') {
    const minutes = Math.floor((alarmState.serverTime - a.since) / 60000);
    return a.subject + ' 검표 중단: ' + since + ' 이후 ' + minutes + '분째 검표 없음';
  }
  if (a.kind === 'refusal-spike') {
    return a.subject + ' 거부 급증 (위조·취소 티켓 의심): 최근 ' + rules.spikeMinutes + '분 검표 ' + number(a.of) +
      '건 중 ' + number(a.count) + '건 거부 (등록되지 않은·취소된 티켓), ' + since + '부터';
  }
  if (a.kind === 'offline-handover') {
    // Each conflict: the ticket, the offline gate and its time, what it clashes with and when; each
    // refused decision with why.
    const clash = (c) => ' ' + (REASONS[c.reason] || c.reason) +
      (c.otherGate ? ' ↔ ' + c.otherGate + ' ' + clock(c.otherAt, true) : '');
    const lines = (a.conflicts || []).map((c) => '티켓 ' + c.ticketNo + (c.block ? ' (' + c.block + ')' : '') +
      ': 오프라인 ' + c.gate + ' ' + clock(c.at, true) +
      (c.reason === 'refused' ? ' 인계 거부 (' + c.why + ')' : clash(c)));
    return a.subject + ' 오프라인 검표 인계 (' + since + '): 충돌 ' + number(a.count) + '건, 거부 ' + number(a.of) +
      '건 · ' + lines.join(' · ');
  }
  if (a.kind === 'capacity') {
    return a.subject + (a.percent >= 100 ? ' 만석' : ' 수용 ' + a.percent + '% 도달') + ': 현재 ' + number(a.count) +
      ' / ' + number(a.of) + '명, ' + since + '부터';
  }
  return a.subject + ' ' + a.kind;
}

function renderAlarms(snapshot) {
  const alarms = snapshot.alarms || [];
  alarmState.bizCode = snapshot.event.bizCode;
  alarmState.serverTime = snapshot.serverTime;
  const acked = acknowledged();
  // Acknowledgements of this event's alarms that ended are forgotten; other events' are kept.
  const current = new Set(alarms.map(alarmKey));
  const prefix = alarmKey({ id: '' });
  for (const key of [...acked]) if (key.startsWith(prefix) && !current.has(key)) acked.delete(key);
  keepAcknowledged(acked);
  alarmState.shown = alarms.map((a) => ({ key: alarmKey(a), acked: acked.has(alarmKey(a)) }));
  // Banners are kept from one snapshot to the next, so that a click on one is never lost to a
  // banner redrawn under the pointer.
  const box = $('alarms');
  const kept = new Map([...box.children].map((div) => [div.dataset.key, div]));
  box.hidden = alarms.length === 0;
  box.replaceChildren(...alarms.map((a, i) => {
    const { key, acked: isAcked } = alarmState.shown[i];
    let div = kept.get(key);
    if (!div) {
      div = document.createElement('div');
      div.className = 'alarm';
      div.dataset.key = key;
      div.dataset.kind = a.kind;
      div.dataset.id = a.id;
      div.setAttribute('role', 'alert');
      const text = document.createElement('span');
      text.className = 'text';
      const button = document.createElement('button');
      button.type = 'button';
      button.textContent = '확인';
      button.dataset.ack = key;
      div.append(text, button);
    }
    div.dataset.acked = isAcked ? 'true' : 'false';
    const text = (isAcked ? '확인됨 · ' : '⚠ ') + alarmText(a, snapshot.alarmRules || {});
    div.querySelector('.text').textContent = text;
    div.title = text;  // a long banner shows one line on the wall; the whole of it on hover
    return div;
  }));
  const fresh = alarmState.shown.filter((a) => !a.acked && !alarmState.sounded.has(a.key));
  fresh.forEach((a) => alarmState.sounded.add(a.key));
  if (fresh.length) tone();
}

function acknowledge(key) {
  const acked = acknowledged();
  acked.add(key);
  keepAcknowledged(acked);
  for (const a of alarmState.shown) if (a.key === key) a.acked = true;
  for (const div of $('alarms').children) {
    if (div.dataset.key !== key) continue;
    div.dataset.acked = 'true';
    const text = div.querySelector('.text');
    text.textContent = '확인됨 · ' + text.textContent.replace(/^⚠ /, '');
  }
}

function remind() {
  if (alarmState.shown.some((a) => !a.acked)) tone();
}

// The tone: two short beeps made by the browser itself, nothing fetched.
function tone() {
  const audio = alarmState.audio;
  if (!audio || audio.state !== 'running') {
    $('sound').hidden = false;
    return;
  }
  const at = audio.currentTime;
  for (const start of [0, 0.25]) {
    const osc = audio.createOscillator(), gain = audio.createGain();
    osc.type = 'square';
    osc.frequency.value = 880;
    gain.gain.setValueAtTime(0.0001, at + start);
    gain.gain.exponentialRampToValueAtTime(0.25, at + start + 0.02);
    gain.gain.exponentialRampToValueAtTime(0.0001, at + start + 0.18);
    osc.connect(gain).connect(audio.destination);
    osc.start(at + start);
    osc.stop(at + start + 0.2);
  }
  alarmState.tones += 1;
  document.body.dataset.tones = alarmState.tones;
}

function wakeSound() {
  const Context = window.AudioContext || window.webkitAudioContext;
  if (!Context) return;
  if (!alarmState.audio) alarmState.audio = new Context();
  const audio = alarmState.audio;
  const ready = () => { $('sound').hidden = audio.state === 'running'; };
  if (audio.state === 'suspended') audio.resume().then(ready, ready);
  else ready();
}

function render(snapshot) {
  if (typeof snapshot.utcOffsetMinutes === 'number') state.utcOffsetMinutes = snapshot.utcOffsetMinutes;
  state.serverTime = snapshot.serverTime;
  $('server-time').textContent = clock(snapshot.serverTime, true);
  $('server-time').dataset.ms = snapshot.serverTime;
  $('time-zone').textContent = snapshot.timeZone || '';
  $('no-event').hidden = !!snapshot.event;
  renderEvents(snapshot);
  if (!snapshot.event) {
    alarmState.shown = [];
    $('alarms').replaceChildren();
    $('alarms').hidden = true;
    return;
  }
  $('admitted-total').textContent = number(snapshot.total.admitted);
  $('inside-total').textContent = number(snapshot.total.inside);
  snapshot.blocks.forEach((b, i) => {
    standCard(i, b.block);
    $('admitted-' + i).textContent = number(b.admitted);
    $('inside-' + i).textContent = number(b.inside);
    // A second person let in offline on a ticket already inside is counted in the stand too.
    $('twice-' + i).hidden = !b.insideTwice;
    $('twice-' + i).textContent = '오프라인 중복 ' + number(b.insideTwice || 0) + '명 포함';
    renderCapacity(i, b);
  });
  renderChart(snapshot.flow, snapshot.blocks);
  renderTables(snapshot);
  renderAlarms(snapshot);
}

document.addEventListener('DOMContentLoaded', () => {
  $('signin-form').addEventListener('submit', signIn);
  $('enrol-station').addEventListener('click', enrolStation);
  // A browser lets a page sound only after a click or a key: the first one turns the tone on.
  for (const kind of ['pointerdown', 'keydown']) document.addEventListener(kind, wakeSound, true);
  $('sound').addEventListener('click', wakeSound);
  $('alarms').addEventListener('click', (e) => {
    const button = e.target.closest('button[data-ack]');
    if (button) acknowledge(button.dataset.ack);
  });
  setInterval(remind, REMIND_MS);
  $('event').addEventListener('change', (e) => {
    state.bizCode = e.target.value;
    load();
  });
  load();
});
